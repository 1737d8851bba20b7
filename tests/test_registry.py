"""Registration and unregistration in the PluginManager registry tree."""

import copy
import inspect

import pytest
from helpers import freeze, not_found, refused, walk

from telvar.core.errors import ConnectionInfraError

RESERVED = "'data' is reserved and cannot be used as a plugin path element"
NOT_FOUND = "Plugin data not found"


class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


def record(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


@pytest.mark.parametrize(
    "kwargs, path",
    [
        (dict(os="alpha"), ["alpha"]),
        (dict(os="alpha", os_flavor="f1"), ["alpha", "f1"]),
        (dict(os="alpha", platform="p1"), ["alpha", "p1"]),
        (dict(os="alpha", platform="p1", os_flavor="f1"), ["alpha", "p1", "f1"]),
        (dict(os="alpha", platform="p1", model="m1"), ["alpha", "p1", "m1"]),
        (dict(os="alpha", platform="p1", model="m1", os_flavor="f1"), ["alpha", "p1", "m1", "f1"]),
        (dict(os="alpha", model=""), ["alpha", None, ""]),
        (dict(os="gamma", platform="", model="", os_flavor=7), ["gamma", "", "", 7]),
    ],
)
def test_registration_path(manager, kwargs, path):
    assert manager.register_plugin(ConnA, **kwargs) is None
    expected = {"data": {"single_rp": record(ConnA)}}
    for key in reversed(path):
        expected = {key: expected}
    assert manager.plugins == expected
    assert all(type(node) is dict for _, node in walk(manager.plugins))
    record_path, stored = list(walk(manager.plugins))[-1]
    assert record_path == tuple(path) + ("data", "single_rp") and list(stored) == ["cls", "path"]


def test_insertion_order(manager, debug_calls):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="plat1")
    manager.register_plugin(ConnC, os="beta", platform="plat1")
    manager.register_plugin(ConnC, "beta")
    for cls, chassis_type in [(ConnA, "dual_rp"), (ConnB, "stack"), (ConnC, "dual_rp")]:
        manager.register_plugin(cls, os="alpha", chassis_type=chassis_type)
    assert [p for p, _ in walk(manager.plugins) if len(p) < 3] == [
        (),
        ("alpha",),
        ("alpha", "data"),
        ("alpha", "plat1"),
        ("beta",),
        ("beta", "plat1"),
        ("beta", "data"),
    ]
    data = manager.plugins["alpha"]["data"]
    assert data == {"single_rp": record(ConnA), "dual_rp": record(ConnC), "stack": record(ConnB)}
    assert list(data) == ["single_rp", "dual_rp", "stack"]
    assert len(debug_calls) == 1


class Shown(str):
    def __repr__(self):
        return "<shown>"


class Renamed(type):
    __name__ = property(lambda cls: "Renamed")


def odd_classes():
    numbered = type("Numbered", (), {"__module__": 5})
    numbered.__module__ = 5
    return [ConnA, Renamed("Meta", (), {"__module__": __name__}), numbered]


FLAVORS = ["f1", "it's", 'say "hi"', "back\\slash", "tab\there", "ünï", "🙂", Shown("x"), 7]
EDGES = ["\x1f", " ~", "\x7f"]  # the edges of the characters repr() shows as they are


@pytest.mark.parametrize("flavor", FLAVORS + EDGES)
@pytest.mark.parametrize("which", [0, 1, 2])
def test_replacement_message_matches_str_format(
    manager, debug_calls, monkeypatch, pm, flavor, which
):
    cls = odd_classes()[which]
    monkeypatch.setattr(pm, "getfile", lambda obj: __file__)  # made here: no source file
    manager.register_plugin(cls, os="alpha", platform="p1", os_flavor=flavor)
    manager.register_plugin(ConnB, os="alpha", platform="p1", os_flavor=flavor)
    manager.register_plugin(cls, os="alpha", platform="p1", os_flavor=flavor)
    template = " {} already registered for {}, {} from {} is overriding this class"
    path = ["alpha", "p1", flavor]
    assert debug_calls == [
        ((template.format(old.__name__, path, new.__name__, new.__module__),), {})
        for old, new in ((cls, ConnB), (ConnB, cls))
    ]


@pytest.mark.parametrize(
    "kwargs, shown",
    [
        (dict(os="alpha", platform="plat1"), "['alpha', 'plat1']"),
        (dict(os="alpha", model="", os_flavor=5), "['alpha', None, '', 5]"),
    ],
)
def test_replacement_is_logged_and_wins(manager, debug_calls, kwargs, shown):
    manager.register_plugin(ConnA, **kwargs)
    nodes = list(walk(manager.plugins))[:-1]  # every node but the record
    assert debug_calls == []
    manager.register_plugin(ConnB, **kwargs)
    manager.register_plugin(ConnB, **kwargs)  # the same class again: logged, equal record
    text = " %s already registered for %s, ConnB from %s is overriding this class"
    assert debug_calls == [
        ((text % (name, shown, ConnB.__module__),), {}) for name in ("ConnA", "ConnB")
    ]
    assert [(p, id(n)) for p, n in walk(manager.plugins)][:-1] == [(p, id(n)) for p, n in nodes]
    assert list(walk(manager.plugins))[-1][1] == record(ConnB)


def test_getfile_result_is_stored_unchanged(manager, pm, monkeypatch):
    seen, marker = [], object()
    monkeypatch.setattr(pm, "getfile", lambda *a, **k: seen.append((a, k)) or marker)
    manager.register_plugin(ConnA, os="alpha")
    assert seen == [((ConnA,), {})]
    assert manager.plugins["alpha"]["data"]["single_rp"]["path"] is marker


class EqualsData:
    """Equal to "data" without being a str."""

    def __eq__(self, other):
        return other == "data"

    def __hash__(self):
        return hash("data")


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(os="data"),
        dict(os="alpha", platform="data"),
        dict(os="alpha", platform="p1", model="data"),
        dict(os="alpha", os_flavor="data"),
        dict(os="alpha", platform="p1", model="m1", os_flavor="data"),
        dict(os=EqualsData()),  # not the str, but equal to it
        dict(os="alpha", platform="p1", os_flavor=EqualsData()),
    ],
)
def test_data_is_refused_as_a_path_element(manager, kwargs):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="p1", model="m1")
    check = freeze(manager)
    assert refused(manager.register_plugin, ConnC, chassis_type="dual_rp", **kwargs) == RESERVED
    check()


class Toggle:
    """Hashed as "data"; unequal to it when first asked, equal afterwards."""

    asked = False

    def __hash__(self):
        return hash("data")

    def __eq__(self, other):
        answer, self.asked = self.asked, True
        return answer and other == "data"


@pytest.mark.parametrize("element", [lambda: type("Text", (Toggle, str), {})("data"), Toggle])
def test_reserved_element_never_reaches_a_data_map(manager, element):
    manager.register_plugin(ConnA, os="alpha", platform="p1")
    node = manager.plugins["alpha"]["p1"]
    data_map, before = node["data"], copy.deepcopy(manager.plugins)
    try:
        manager.register_plugin(ConnB, os="alpha", platform="p1", os_flavor=element())
        refusal = None
    except ConnectionInfraError as exc:
        refusal = exc.args
    assert refusal in (None, (RESERVED,))
    assert refusal is None or manager.plugins == before
    assert list(data_map) == ["single_rp"] and data_map["single_rp"]["cls"] is ConnA
    assert set(node["data"]) <= {"single_rp", "dual_rp", "stack"}


def test_data_refusal_comes_after_validation(pm, manager):
    assert refused(manager.register_plugin, ConnA, os="data", chassis_type=None).startswith(
        "chassis Type"
    )
    assert refused(manager.register_plugin, ConnA, os="alpha", model="data").startswith(
        "OS and platform"
    )
    seen = []
    gated = type(
        "Gate", (pm.PluginManager,), {"validate_arguments": lambda self, *a: seen.append(a)}
    )()
    assert refused(gated.register_plugin, ConnA, "alpha", "data", None, None, "bogus") == RESERVED
    assert seen == [("alpha", "data", None, "bogus")]
    assert gated.plugins == {} and manager.plugins == {}


@pytest.mark.parametrize(
    "cls, kwargs",
    [
        (ConnC, dict(os="beta", platform="p1", os_flavor=["f"])),
        (ConnC, dict(os="alpha", platform="p2", model="m2", os_flavor={})),
        (int, dict(os="beta", platform="p1", model="m1")),
        (int, dict(os="alpha", platform="p1")),  # would replace ConnB
        (int, dict(os="alpha", platform="p1", chassis_type="stack")),  # would join ConnB's data map
        (int, dict(os="alpha", platform="p2")),  # would give an existing node its data map
    ],
)
def test_failed_registration_leaves_no_trace(manager, cls, kwargs):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="p1")
    manager.register_plugin(ConnC, os="alpha", platform="p2", model="m1")
    check = freeze(manager)
    with pytest.raises(TypeError):
        manager.register_plugin(cls, **kwargs)
    check()


def test_failed_replacement_log_keeps_the_earlier_record(manager, pm, monkeypatch):
    manager.register_plugin(ConnA, os="alpha", platform="p1")
    check = freeze(manager)

    class BrokenLog:
        def debug(self, text):
            raise RuntimeError(text)

    monkeypatch.setattr(pm, "log", BrokenLog())
    with pytest.raises(RuntimeError, match=r"^ ConnA already registered for"):
        manager.register_plugin(ConnB, os="alpha", platform="p1")
    check()


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
