"""The registry operations (registration, lookup, unregistration) against nodes, path elements
and callbacks that raise or run Python code in the middle of an operation: the interpreter
survives, the error reaches the caller, and nothing read before such code is trusted after.

Each test here runs the same hostile object through more than one operation, where they share
the walk (registry.cpp) or the argument gate, so the file is kept whole; a test about one
operation alone is in that operation's file (test_registration.py, test_unregistration.py)."""

import copy

import pytest
from helpers import forked, whole
from hostile import Boom, SameHashAsData, Unprintable, clear_registry, name, node

from telvar.core.errors import ConnectionInfraError

pytestmark = [forked, pytest.mark.usefixtures("registry_stays_a_dict")]

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

    def test_registered_str_subclass_key(self, manager):
        assert manager.register_plugin(Conn, os="alpha", platform=UPPER_OK) is None
        assert type(next(iter(manager.plugins["alpha"]))).__name__ == "Name"
        with pytest.raises(RuntimeError, match=whole("boom")):
            manager.unregister_plugin(os="alpha", platform=UPPER_OK, chassis_type=Unprintable())


class TestPythonCodeMidOperation:
    """Loggers, getfile, validators and class look-ups that run Python code in the middle of
    an operation: nothing read before it is trusted after."""

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
