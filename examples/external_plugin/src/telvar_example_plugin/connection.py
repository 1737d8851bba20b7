"""The gamma connection plugin.

telvar imports this module through the ``telvar.plugins`` entry point of this
distribution; importing it registers the class below.
"""

from telvar.manager import plugin_manager


class GammaConnection:
    """Connection to devices running the gamma OS."""

    def connect(self):
        return "connected to a gamma device"


# "gamma" is not one of telvar's built-in OSes: that is allowed, and only
# noted in telvar's debug log.
plugin_manager.register_plugin(GammaConnection, os="gamma")
