"""Test helpers shipped beside the plugins; plugin discovery skips them.

Discovery still runs this file (the package walk imports every package it
descends into), so it must stay free of side effects.
"""
