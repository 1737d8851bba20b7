"""Connection plugins for devices running the "alpha" OS.

A plugin is a plain class registered into the shared plugin manager when its
module is imported. This one serves every alpha device that no more specific
plugin (platform, model or OS flavour) claims.
"""

from telvar.manager import plugin_manager


class AlphaConnection:
    """Connection to any alpha device."""

    def connect(self):
        return "connected to an alpha device"


# OS level only: the chassis type defaults to "single_rp".
plugin_manager.register_plugin(AlphaConnection, os="alpha")
