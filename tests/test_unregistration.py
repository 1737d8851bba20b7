"""Unregistration (unregister_plugin): what it removes and keeps, its failures, which change
nothing, and the calls it makes."""

import pytest
from helpers import Conn, ConnA, ConnB, ConnC, forked, freeze, not_found, record, refused, whole
from hostile import clear_registry, node
from recording import VARIANTS, Text, label, same_calls

from telvar.core.errors import ConnectionInfraError

NOT_FOUND = "Plugin data not found"


@pytest.fixture
def populated(manager):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="plat1", chassis_type="dual_rp")
    manager.register_plugin(ConnC, os="alpha", platform="plat2", model="m1")
    return manager


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(os="beta"), NOT_FOUND),
        (dict(os="alpha", platform="plat1", model="m9", chassis_type="dual_rp"), NOT_FOUND),
        (dict(os="alpha", os_flavor="f1"), NOT_FOUND),
        (dict(os="alpha", platform="plat2"), NOT_FOUND),
        (dict(os="alpha", platform="plat2", chassis_type="single_rp"), NOT_FOUND),
        (dict(os="alpha", platform="data", chassis_type="single_rp"), NOT_FOUND),
        (
            dict(os="alpha", platform="plat1", chassis_type="single_rp"),
            NOT_FOUND + " for single_rp",
        ),
        (dict(os="alpha", chassis_type="dual_rp"), NOT_FOUND + " for dual_rp"),
        (dict(os="alpha", chassis_type="bogus"), NOT_FOUND + " for bogus"),
        (dict(os="alpha", chassis_type=0), NOT_FOUND + " for 0"),
        (dict(os="alpha", platform="Plat1"), "platform (Plat1) has to be in lowercase"),
        (dict(os="alpha", chassis_type=[]), TypeError),
        (dict(os="alpha", os_flavor={}), TypeError),
    ],
)
def test_failed_unregistration_changes_nothing(populated, kwargs, error):
    check = freeze(populated)
    if isinstance(error, str):
        assert refused(populated.unregister_plugin, **kwargs) == error
    else:
        with pytest.raises(error):
            populated.unregister_plugin(**kwargs)
    check()


def test_removing_the_data_map_keeps_children(populated):
    alpha = populated.plugins["alpha"]
    children = [alpha["plat1"], alpha["plat2"]]
    assert populated.unregister_plugin(os="alpha") is None
    assert populated.plugins["alpha"] is alpha and list(alpha) == ["plat1", "plat2"]
    assert [alpha["plat1"], alpha["plat2"]] == children
    assert refused(populated.unregister_plugin, os="alpha") == NOT_FOUND
    assert refused(populated.get_plugin, os="alpha") == not_found("alpha")


def test_removing_one_record_leaves_an_empty_data_map_for_reuse(populated):
    node = populated.plugins["alpha"]["plat1"]
    assert populated.unregister_plugin("alpha", "plat1", None, None, "dual_rp") is None
    assert node == {"data": {}}
    data = node["data"]
    assert refused(populated.unregister_plugin, "alpha", "plat1", None, None, "dual_rp") == (
        "Plugin data not found for dual_rp"
    )
    assert refused(populated.get_plugin, "alpha", "plat1", chassis_type="dual_rp") == not_found(
        "alpha/plat1", "dual_rp"
    )
    populated.register_plugin(ConnC, os="alpha", platform="plat1", chassis_type="stack")
    assert populated.plugins["alpha"]["plat1"] is node and node["data"] is data
    assert data == {"stack": record(ConnC)}


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The calls unregistration makes on the nodes, keys and manager, as the reference makes
    them."""

    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize(
        "where",
        [
            dict(os="alpha", platform="p1"),
            dict(os="alpha", platform="p1", chassis_type="dual_rp"),
            dict(os="alpha", platform="p1", chassis_type="stack"),
            dict(os="alpha", platform="p2", chassis_type="single_rp"),
            dict(os="beta", platform="p1"),
            dict(os="alpha", platform=Text("data")),
        ],
        ids=label,
    )
    def test_unregistration_calls(self, variant, where):
        same_calls(lambda m: m.unregister_plugin(**where), variant=variant)


# ---------------------------------------------------------- Python code mid-unregistration


@forked
@pytest.mark.usefixtures("registry_stays_a_dict")
class TestHostileNodes:
    """Nodes whose keys() changes the registry."""

    def test_node_keys_clear_registry_before_unregister(self, manager):
        def keys(self):
            manager.plugins.clear()
            return dict.keys(self)

        manager.plugins["alpha"] = node(keys, p1={})
        with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
            manager.unregister_plugin(os="alpha", platform="p1")


@forked
@pytest.mark.usefixtures("registry_stays_a_dict")
class TestHostilePathElements:
    """Path elements whose comparison changes the registry."""

    def test_path_element_eq_clears_registry_before_unregister(self, manager):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
            manager.unregister_plugin("alpha", "p1", os_flavor=clear_registry(manager))
