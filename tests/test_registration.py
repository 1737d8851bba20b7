"""Registration (register_plugin): the path a record is filed under and the order of the tree,
the replacement and its log record, "data" refused as a path element, failures that leave no
trace, and the calls registration makes."""

import copy

import pytest
import reference
from helpers import Conn, ConnA, ConnB, ConnC, forked, freeze, record, refused, walk, whole
from hostile import Boom, colliding_key, logger, name
from recording import VARIANTS, Text, label, same_calls

from telvar.core.errors import ConnectionInfraError

RESERVED = "'data' is reserved and cannot be used as a plugin path element"


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


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The calls registration makes on the nodes, keys and manager, as the reference makes
    them."""

    @pytest.mark.usefixtures("recorded_debug")
    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize(
        "where",
        [
            dict(os="alpha", platform="p1"),  # replaces a record: logged
            dict(os="alpha", platform="p1", chassis_type="stack"),  # joins a data map
            dict(os="alpha", platform="p2", model="m1"),  # new levels
            dict(os="beta", platform="p1"),  # a node without a data map
            dict(os=Text("gamma"), os_flavor=Text("f1")),  # elements hashed and compared
            dict(os="alpha", os_flavor=Text("data")),  # refused by its text
            dict(os="alpha", platform="p3", model=Text("m1"), chassis_type=Text("stack")),
        ],
        ids=label,
    )
    def test_registration_calls(self, variant, where):
        same_calls(lambda m: m.register_plugin(Conn, **where), variant=variant)


# --------------------------------------------------------------- Python code mid-registration


def rebind_module(manager, cls):
    # A new str each time, so that the one the class held is freed.
    return lambda: type.__setattr__(cls, "__module__", "".join(__name__))


def clear_tree(manager, cls):
    return lambda: manager.plugins.clear()


def replace_with_hostile_module(module, monkeypatch, manager, action_for):
    """Replaces a record by a class whose __module__ look-up runs Python code; the records logged."""
    records = []
    monkeypatch.setattr(module, "log", type("Log", (), {"debug": lambda s, m: records.append(m)})())
    manager.register_plugin(type("Old", (), {}), os="alpha")
    new = type("New", (), {"__module__": "".join(__name__)})
    setattr(new, colliding_key("zz", "__module__", action_for(manager, new)), 1)
    records.clear()
    manager.register_plugin(new, os="alpha")
    return records, manager.print_tree(manager.plugins)


class Added:
    pass


REGISTRATION_CHANGES = {
    "registry cleared": lambda m: m.plugins.clear(),
    "registry replaced": lambda m: setattr(m, "_plugins", {}),
    "another record on the path": lambda m: m.register_plugin(
        Conn, "alpha", "p1", None, "f1", "dual_rp"
    ),
    "the same record on the path": lambda m: m.register_plugin(Conn, "alpha", "p1", None, "f1"),
}


@forked
@pytest.mark.usefixtures("registry_stays_a_dict")
class TestPythonCodeMidOperation:
    """Loggers, getfile, and class look-ups that run Python code in the middle of a
    registration: nothing read before it is trusted after."""

    def test_raising_logger(self, pm, manager, monkeypatch):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        before = repr(manager.plugins)
        monkeypatch.setattr(pm, "log", logger(Boom("debug")))
        with pytest.raises(RuntimeError, match=whole("debug")):
            manager.register_plugin(Conn, os="alpha", platform="p1")
        assert repr(manager.plugins) == before

    def test_logger_clears_registry(self, pm, manager, monkeypatch):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        monkeypatch.setattr(pm, "log", logger(lambda self, text: manager.plugins.clear()))
        assert manager.register_plugin(Conn, os="alpha", platform="p1") is None
        assert manager.register_plugin(Conn, os="gamma") is None
        assert list(manager.plugins) == ["gamma"]

    def test_logger_replaces_registry(self, pm, manager, monkeypatch):
        manager.register_plugin(Conn, os="gamma")
        monkeypatch.setattr(pm, "log", logger(lambda self, text: setattr(manager, "_plugins", {})))
        assert manager.register_plugin(Conn, os="gamma") is None
        assert manager.register_plugin(Conn, os="linux", platform="p1") is None
        assert manager.register_plugin(Conn, os="linux", platform="p1") is None

    @pytest.mark.parametrize("where", ["getfile", "hash of a path element"])
    @pytest.mark.parametrize("change", REGISTRATION_CHANGES)
    def test_registration_walks_the_tree_after_its_own_python_code(
        self, pm, manager, monkeypatch, where, change
    ):
        """getfile and the elements' hashes run before the tree is read: the record lands in
        the registry as it is after them, beside what they registered."""
        manager.register_plugin(Conn, os="alpha")
        ran = []

        def once():
            if not ran:
                ran.append(True)
                REGISTRATION_CHANGES[change](manager)

        flavor = "f1"
        if where == "getfile":
            monkeypatch.setattr(pm, "getfile", lambda cls: once() or "conn.py")
        else:
            flavor = name("f1", __hash__=lambda self: once() or str.__hash__(self))
        monkeypatch.setattr(pm, "log", logger(lambda self, text: None))
        manager.register_plugin(Added, os="alpha", platform="p1", os_flavor=flavor)
        assert ran
        assert manager.get_plugin(os="alpha", platform="p1", os_flavor="f1") is Added
        if change == "another record on the path":
            assert manager.get_plugin("alpha", "p1", None, "f1", "dual_rp") is Conn

    @pytest.mark.parametrize("hooked", ["model", "os_flavor", "chassis_type"])
    def test_registration_keeps_what_a_later_hash_registers(self, pm, manager, monkeypatch, hooked):
        """A key below the first missing level whose every hash after getfile registers under
        that level: that registration stays beside the new one."""
        armed = []

        def hash_and_register(self):
            if armed:
                manager.register_plugin(Conn, "alpha", "p1", None, None, "dual_rp")
            return str.__hash__(self)

        where = dict(os="alpha", platform="p1", model="m1", os_flavor="f1", chassis_type="stack")
        where[hooked] = name(where[hooked], __hash__=hash_and_register)
        manager.register_plugin(Conn, os="alpha")
        monkeypatch.setattr(pm, "getfile", lambda cls: armed.append(True) or "conn.py")
        monkeypatch.setattr(pm, "log", logger(lambda self, text: None))
        manager.register_plugin(Added, **where)
        assert manager.get_plugin("alpha", "p1", "m1", "f1", "stack") is Added
        assert manager.get_plugin("alpha", "p1", chassis_type="dual_rp") is Conn

    @pytest.mark.parametrize("action_for", [rebind_module, clear_tree])
    def test_replacement_message_after_python_code_in_the_module_lookup(
        self, pm, monkeypatch, action_for
    ):
        native = replace_with_hostile_module(pm, monkeypatch, pm.PluginManager(), action_for)
        pure = replace_with_hostile_module(
            reference, monkeypatch, reference.ReferenceManager(), action_for
        )
        assert native == pure
