"""The core of telvar: the plugin manager and its errors."""

from telvar import _serve_pkg_resources

# pkg_resources, which the plugin manager imports, imported (or stood in for) first.
_serve_pkg_resources()
