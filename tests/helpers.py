"""Helpers shared by several test modules."""

import ctypes
import os

import pytest
from reference import ReferenceManager

# A module of tests each run in a forked child, so that a crash fails that test alone; where
# there is no fork, the module is skipped.
forked = (
    pytest.mark.forked
    if hasattr(os, "fork")
    else pytest.mark.skip(reason="each test runs in a forked child")
)

# PyObject_Vectorcall itself: lets a test pass keyword names that Python
# source cannot spell (non-str ones).
_vectorcall = ctypes.PYFUNCTYPE(
    ctypes.py_object,
    ctypes.py_object,
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_size_t,
    ctypes.py_object,
)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(func, positional, kwnames, values):
    """Call func as the interpreter does, with any keyword names."""
    items = list(positional) + list(values)
    return _vectorcall(
        func, (ctypes.py_object * len(items))(*items), len(positional), tuple(kwnames)
    )


def reference_tree(data, output="plugin"):
    """The tree rendering of the plain-Python reference manager."""
    return ReferenceManager().print_tree(data, output)
