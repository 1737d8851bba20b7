"""The registry operations (registration, lookup, unregistration) against nodes, path elements
and callbacks that raise or run Python code in the middle of an operation: the interpreter
survives, the error reaches the caller, and nothing read before such code is trusted after."""

import copy

import pytest
import reference
from helpers import forked, whole
from hostile import Boom, SameHashAsData, Unprintable, colliding_key, logger, name, node

from telvar.core.errors import ConnectionInfraError

pytestmark = forked

NOT_FOUND = "Plugin data not found"
OPERATIONS = ("register_plugin", "get_plugin", "unregister_plugin")


class Conn:
    pass


RECORD = {"data": {"single_rp": {"cls": Conn, "path": "x"}}}


def operate(manager, operation, *args, **kwargs):
    """Call a registry operation; register_plugin gets Conn as its class."""
    if operation == "register_plugin":
        args = (Conn,) + args
    return getattr(manager, operation)(*args, **kwargs)


@pytest.fixture
def manager(manager):
    yield manager
    # Whatever a test did to it, the manager still holds a dict as its registry.
    assert type(manager.__dict__.get("_plugins")) is dict


class TestHostileNodes:
    """Nodes whose keys() raises, lies or changes the registry, and malformed records."""

    @pytest.mark.parametrize("operation", OPERATIONS)
    @pytest.mark.parametrize(
        "keys, error, match",
        [
            (Boom("keys"), RuntimeError, whole("keys")),
            (lambda self: None, TypeError, None),
            # Claims a child it does not hold.
            (lambda self: ["p1", "data"], KeyError, whole("'p1'")),
        ],
        ids=["raises", "not-iterable", "absent-child"],
    )
    def test_failing_node_keys(self, manager, operation, keys, error, match):
        manager.plugins["alpha"] = node(keys)
        with pytest.raises(error, match=match):
            operate(manager, operation, os="alpha", platform="p1")
        assert dict(manager.plugins["alpha"]) == {}

    @pytest.mark.parametrize(
        "mutate, after",
        [
            (lambda m: m.plugins.clear(), {}),
            (lambda m: setattr(m, "_plugins", {"fresh": {}}), {"fresh": {}}),
        ],
        ids=["cleared", "replaced"],
    )
    @pytest.mark.parametrize(
        "operation, children, kwargs, result",
        [
            ("register_plugin", {}, dict(model="m1"), None),
            ("get_plugin", dict(p1=RECORD), dict(model="m1"), Conn),
            ("get_plugin", dict(p1=RECORD), {}, Conn),
        ],
        ids=["register", "get-model", "get"],
    )
    def test_node_keys_change_registry(
        self, manager, mutate, after, operation, children, kwargs, result
    ):
        def keys(self):
            mutate(manager)
            return dict.keys(self)

        manager.plugins["alpha"] = node(keys, **children)
        assert operate(manager, operation, os="alpha", platform="p1", **kwargs) is result
        assert manager.plugins == after

    def test_node_keys_clear_registry_before_unregister(self, manager):
        def keys(self):
            manager.plugins.clear()
            return dict.keys(self)

        manager.plugins["alpha"] = node(keys, p1={})
        with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
            manager.unregister_plugin(os="alpha", platform="p1")

    INDICES = whole("list indices must be integers or slices, not str")

    @pytest.mark.parametrize(
        "os, data, operation, kwargs, error, match",
        [
            pytest.param(
                "alpha",
                {"single_rp": {"cls": 5, "path": "x"}},
                "register_plugin",
                {},
                AttributeError,
                whole("'int' object has no attribute '__name__'"),
                id="cls-not-a-class",
            ),
            pytest.param(
                "beta",
                {"single_rp": {}},
                "register_plugin",
                {},
                KeyError,
                whole("'cls'"),
                id="no-cls",
            ),
            pytest.param(
                "beta",
                {"single_rp": {}},
                "get_plugin",
                {},
                KeyError,
                whole("'cls'"),
                id="no-cls-get",
            ),
            pytest.param(
                "gamma", ["single_rp"], "register_plugin", {}, TypeError, INDICES, id="list"
            ),
            pytest.param(
                "gamma", ["single_rp"], "get_plugin", {}, TypeError, INDICES, id="list-get"
            ),
            pytest.param(
                "gamma",
                ["single_rp"],
                "unregister_plugin",
                dict(chassis_type="single_rp"),
                TypeError,
                INDICES,
                id="list-unregister",
            ),
            pytest.param("linux", None, "get_plugin", {}, TypeError, None, id="none-get"),
        ],
    )
    def test_malformed_record(self, manager, os, data, operation, kwargs, error, match):
        manager.plugins[os] = {"data": copy.deepcopy(data)}
        with pytest.raises(error, match=match):
            operate(manager, operation, os=os, **kwargs)
        assert manager.plugins == {os: {"data": data}}


def clear_registry(manager):
    def clear():
        manager.plugins.clear()
        return False

    return SameHashAsData(clear)


UPPER_OK = name("UPPER", islower=lambda self: [0])


class TestHostilePathElements:
    """Path elements whose hash, comparison or str() raises or changes the registry."""

    @pytest.mark.parametrize(
        "operation, kwargs, match",
        [
            pytest.param(
                "register_plugin",
                dict(os="alpha", platform="p2", os_flavor=Boom()),
                "boom",
                id="hash-register",
            ),
            pytest.param("get_plugin", dict(os="alpha", os_flavor=Boom()), "boom", id="hash-get"),
            pytest.param(
                "unregister_plugin",
                dict(os="alpha", os_flavor=Boom()),
                "boom",
                id="hash-unregister",
            ),
            pytest.param("get_plugin", dict(os=SameHashAsData(Boom("eq"))), "eq", id="eq-os-get"),
        ]
        + [
            pytest.param(
                operation,
                dict(os="alpha", platform="p1", os_flavor=SameHashAsData(Boom("eq"))),
                "eq",
                id="eq-" + operation.removesuffix("_plugin"),
            )
            for operation in OPERATIONS
        ],
    )
    def test_path_element_hash_or_eq_raises(self, manager, operation, kwargs, match):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        before = repr(manager.plugins)
        with pytest.raises(RuntimeError, match=whole(match)):
            operate(manager, operation, **kwargs)
        assert repr(manager.plugins) == before

    @pytest.mark.parametrize("operation, result", [("register_plugin", None), ("get_plugin", Conn)])
    def test_path_element_eq_clears_registry(self, manager, operation, result):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        flavor = clear_registry(manager)
        assert operate(manager, operation, os="alpha", platform="p1", os_flavor=flavor) is result

    def test_path_element_eq_clears_registry_before_unregister(self, manager):
        manager.register_plugin(Conn, os="alpha", platform="p1")
        with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
            manager.unregister_plugin("alpha", "p1", os_flavor=clear_registry(manager))

    def test_registered_str_subclass_key(self, manager):
        assert manager.register_plugin(Conn, os="alpha", platform=UPPER_OK) is None
        assert type(next(iter(manager.plugins["alpha"]))).__name__ == "Name"
        with pytest.raises(RuntimeError, match=whole("boom")):
            manager.unregister_plugin(os="alpha", platform=UPPER_OK, chassis_type=Unprintable())


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


class TestPythonCodeMidOperation:
    """Loggers, getfile, validators and class look-ups that run Python code in the middle of
    an operation: nothing read before it is trusted after."""

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

    def test_validator_clears_registry(self, pm):
        class Clearing(pm.PluginManager):
            def validate_os(self, os):
                self.plugins.clear()

        clearing = Clearing()
        clearing.register_plugin(Conn, os="alpha")
        clearing.register_plugin(Conn, os="beta")
        assert list(clearing.plugins) == ["beta"]
        with pytest.raises(
            ConnectionInfraError, match=whole(NOT_FOUND + " for (beta), type: single_rp ")
        ):
            clearing.get_plugin(os="beta")
        clearing.register_plugin(Conn, os="beta")
        with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
            clearing.unregister_plugin(os="beta")

    @pytest.mark.parametrize("operation", OPERATIONS)
    @pytest.mark.parametrize(
        "value, match",
        [
            (None, "'Gate' object has no attribute '_plugins'"),
            (["not", "a", "dict"], "'list' object has no attribute 'keys'"),
        ],
        ids=["removed", "list"],
    )
    def test_validator_takes_registry_away(self, pm, operation, value, match):
        def gate(self, *args):
            if value is None:
                self.__dict__.pop("_plugins", None)
            else:
                self._plugins = value

        gated = type("Gate", (pm.PluginManager,), {"validate_arguments": gate})()
        with pytest.raises(AttributeError, match=whole(match)):
            operate(gated, operation, "alpha")

    @pytest.mark.parametrize("action_for", [rebind_module, clear_tree])
    def test_replacement_message_after_python_code_in_the_module_lookup(
        self, pm, monkeypatch, action_for
    ):
        native = replace_with_hostile_module(pm, monkeypatch, pm.PluginManager(), action_for)
        pure = replace_with_hostile_module(
            reference, monkeypatch, reference.ReferenceManager(), action_for
        )
        assert native == pure
