"""Connection plugins for devices running the "beta" OS."""

from telvar.manager import plugin_manager


class BetaConnection:
    """Connection to any single-route-processor beta device."""

    def connect(self):
        return "connected to a beta device"


plugin_manager.register_plugin(BetaConnection, os="beta")
