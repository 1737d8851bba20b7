"""Plugin for beta devices with two route processors."""

from telvar.manager import plugin_manager
from telvar.plugins.beta import BetaConnection


class BetaDualRpConnection(BetaConnection):
    """Connection to a dual-RP beta device: talks to the active RP."""

    def connect(self):
        return "connected to the active RP of a beta device"


# Same node as BetaConnection, other chassis type: both records live side
# by side, and lookups pick one by their chassis_type argument.
plugin_manager.register_plugin(BetaDualRpConnection, os="beta", chassis_type="dual_rp")
