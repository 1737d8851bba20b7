"""The plugin manager shared by the whole of telvar.

Connection plugins register their classes into ``plugin_manager`` when they
are imported (built-in ones below ``telvar.plugins``, external ones through
the ``telvar.plugins`` entry-point group); telvar then asks it which class
serves a device.
"""

from telvar.core.pluginmanager import PluginManager

plugin_manager = PluginManager()

__all__ = ["PluginManager", "plugin_manager"]
