"""A stand-in device for plugin tests, never a plugin itself.

Plugin discovery must not import modules inside a ``tests`` package; this
one fails loudly if it ever is.
"""

raise RuntimeError(
    "telvar.plugins.tests.mock_device is test support and must not be imported by plugin discovery"
)
