"""Plugins for the beta "core" platform and its "c9" model."""

from telvar.manager import plugin_manager
from telvar.plugins.beta import BetaConnection


class BetaCoreConnection(BetaConnection):
    """Connection to beta core routers."""

    def connect(self):
        return "connected to a beta core router"


class BetaCoreC9Connection(BetaCoreConnection):
    """Connection to the c9 model of the beta core platform."""

    def connect(self):
        return "connected to a beta core c9"


plugin_manager.register_plugin(BetaCoreConnection, os="beta", platform="core")
plugin_manager.register_plugin(BetaCoreC9Connection, os="beta", platform="core", model="c9")
