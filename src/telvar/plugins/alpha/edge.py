"""Plugins for the alpha "edge" platform, and for its "e100" model."""

from telvar.manager import plugin_manager
from telvar.plugins.alpha import AlphaConnection


class AlphaEdgeConnection(AlphaConnection):
    """Connection to alpha devices of the edge platform."""

    def connect(self):
        return "connected to an alpha edge device"


class AlphaEdgeE100Connection(AlphaEdgeConnection):
    """Connection to the e100 model of the alpha edge platform."""

    def connect(self):
        return "connected to an alpha edge e100"


# Platform level: serves every edge model that has no plugin of its own.
plugin_manager.register_plugin(AlphaEdgeConnection, os="alpha", platform="edge")

# Model level: a model always needs its platform (names are lower case).
plugin_manager.register_plugin(AlphaEdgeE100Connection, os="alpha", platform="edge", model="e100")
