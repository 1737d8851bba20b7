"""Plugin for the long-term-support flavour of the alpha OS."""

from telvar.manager import plugin_manager
from telvar.plugins.alpha import AlphaConnection


class AlphaLtsConnection(AlphaConnection):
    """Connection to alpha devices running the "lts" flavour."""

    def connect(self):
        return "connected to an alpha lts device"


# An OS flavour is the deepest level of the path: here alpha -> lts.
plugin_manager.register_plugin(AlphaLtsConnection, os="alpha", os_flavor="lts")
