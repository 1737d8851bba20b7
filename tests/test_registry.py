"""The registry tree and the walk down it that registration, lookup and unregistration share:
"data" is never a child, nodes are walked through keys() and never pruned, a chassis type of
linux round-trips, and the calls the walk makes on the nodes, spelled out."""

import copy

import pytest
import reference
from helpers import Conn, ConnA, ConnB, ConnC, freeze, not_found, not_interned, record, refused
from recording import run

from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

NOT_FOUND = "Plugin data not found"


# ---------------------------------------------------------------------------- the tree's shape


def test_nodes_are_never_pruned_and_lookup_never_backs_off(manager):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="plat1", model="m1")
    assert refused(manager.get_plugin, os="alpha", platform="plat1") == not_found("alpha/plat1")
    manager.unregister_plugin(os="alpha", platform="plat1", model="m1")
    assert manager.plugins == {"alpha": {"data": {"single_rp": record(ConnA)}, "plat1": {"m1": {}}}}
    assert refused(manager.get_plugin, os="alpha", platform="plat1", model="m1") == not_found(
        "alpha/plat1/m1"
    )


def test_linux_chassis_types_round_trip(manager):
    manager.register_plugin(ConnA, os="linux", chassis_type="custom")
    assert manager.get_plugin(os="linux", chassis_type="custom") is ConnA
    manager.unregister_plugin(os="linux", chassis_type="custom")
    assert manager.plugins == {"linux": {"data": {}}}


# -------------------------------------------------------------------- "data" as a path element


@pytest.mark.parametrize(
    "operation, kwargs, expected",
    [
        ("get_plugin", dict(platform="data"), ConnA),
        ("get_plugin", dict(os_flavor="data"), ConnA),
        ("get_plugin", dict(platform="data", model="data", os_flavor="data"), ConnA),
        ("get_plugin", dict(platform="data", model="p1"), ConnB),
        ("get_plugin", dict(platform="p1", model="data"), ConnB),
        (
            "get_plugin",
            dict(platform="data", chassis_type="cls"),
            NOT_FOUND + " for (linux/data), type: cls ",
        ),
        ("unregister_plugin", dict(platform="data", chassis_type="cls"), NOT_FOUND),
        ("unregister_plugin", dict(platform="data"), NOT_FOUND),
        ("unregister_plugin", dict(os_flavor="data", chassis_type="path"), NOT_FOUND),
    ],
)
def test_data_is_never_a_child_in_lookup_or_unregistration(manager, operation, kwargs, expected):
    manager.register_plugin(ConnA, os="linux")
    manager.register_plugin(ConnA, os="linux", chassis_type="data")  # linux takes any chassis type
    manager.register_plugin(ConnB, os="linux", platform="p1")
    before = copy.deepcopy(manager.plugins)
    if isinstance(expected, str):
        with pytest.raises(ConnectionInfraError) as info:
            getattr(manager, operation)(os="linux", **kwargs)
        assert info.value.args == (expected,)
    else:
        assert getattr(manager, operation)(os="linux", **kwargs) is expected
    assert manager.plugins == before
    assert manager.get_plugin(os="linux", chassis_type="data") is ConnA


StrSub = type("StrSub", (str,), {})


RESERVED = "'data' is reserved and cannot be used as a plugin path element"


@pytest.mark.parametrize("data_key", ["data", not_interned("data")], ids=["data", "equal data"])
@pytest.mark.parametrize("os_text", [str, StrSub], ids=["str os", "str-subclass os"])
@pytest.mark.parametrize("chassis_text", [str, StrSub], ids=["str chassis", "str-subclass chassis"])
@pytest.mark.parametrize(
    "operation, chassis_type, expected",
    [
        ("get_plugin", "single_rp", float),
        ("unregister_plugin", None, NOT_FOUND),
        ("unregister_plugin", "single_rp", NOT_FOUND),
        ("register_plugin", "dual_rp", RESERVED),
    ],
)
def test_the_node_data_map_is_not_walked_into_through_another_key(
    manager, data_key, os_text, chassis_text, operation, chassis_type, expected
):
    """One dict stored as plugins["alpha"] and plugins["data"] stays the root's data map (its
    "single_rp" record holds float), never a node whose own data map is walked into (holding
    int), whatever the kinds of the os, the chassis type and the "data" key (an equal str that
    json.loads or a join gives), and whichever path reads it."""
    shared = {"data": {"single_rp": {"cls": int, "path": "p"}}, "single_rp": {"cls": float}}
    manager.plugins.update({"alpha": shared, data_key: shared})
    check = freeze(manager)
    args = (ConnC,) if operation == "register_plugin" else ()
    chassis = chassis_type if chassis_type is None else chassis_text(chassis_type)
    call = lambda: getattr(manager, operation)(*args, os=os_text("alpha"), chassis_type=chassis)  # noqa: E731
    if isinstance(expected, str):
        assert refused(call) == expected
    else:
        assert call() is expected
    check()


class Node(dict):
    """A registry node that counts its keys() calls."""

    calls = 0

    def keys(self):
        Node.calls += 1
        return super().keys()


def test_dict_subclass_nodes_are_walked_through_keys(manager):
    manager.register_plugin(Conn, os="alpha", platform="plat1")
    manager.plugins["alpha"] = Node(manager.plugins["alpha"])
    Node.calls = 0
    assert manager.get_plugin(os="alpha", platform="plat1", model="m1") is Conn
    assert Node.calls == 1
    with pytest.raises(ConnectionInfraError, match=r"^Plugin data not found$"):
        manager.unregister_plugin(os="alpha", platform="plat2")
    assert Node.calls == 2


# ------------------------------------------------------------------------------ the calls made


WALK = ["root keys", "root get alpha", "root/alpha keys", "root/alpha get p1"]


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The calls of the walk lookup and unregistration share, and of their reads of the data
    map, spelled out, as the reference makes them."""

    @pytest.mark.parametrize(
        "operation, where, node_calls",
        [
            (
                "get_plugin",
                dict(os="alpha", platform="p1", chassis_type="dual_rp"),
                WALK
                + [
                    "root/alpha/p1 in data",
                    "root/alpha/p1 get data",
                    "root/alpha/p1/data in dual_rp",
                ]
                + ["root/alpha/p1 get data", "root/alpha/p1/data get dual_rp"]
                + ["root/alpha/p1/data/dual_rp get cls"],
            ),
            (
                "unregister_plugin",
                dict(os="alpha", platform="p1"),
                WALK + ["root/alpha/p1 in data", "root/alpha/p1 del data"],
            ),
            (
                "unregister_plugin",
                dict(os="alpha", platform="p1", chassis_type="dual_rp"),
                WALK
                + ["root/alpha/p1 in data", "root/alpha/p1 get data"]
                + ["root/alpha/p1/data in dual_rp", "root/alpha/p1/data del dual_rp"],
            ),
        ],
        ids=["lookup", "unregistration of a data map", "unregistration of a chassis type"],
    )
    def test_node_calls_spelled_out(self, operation, where, node_calls):
        for base in (PluginManager, reference.ReferenceManager):
            outcome, recorded, _ = run(base, lambda m: getattr(m, operation)(**where))
            assert outcome[0] == "returned"
            assert [" ".join(call[1:]) for call in recorded if call[0] == "node"] == node_calls
