"""Hostile callbacks and objects: the interpreter survives and the error reaches the caller.

Every test runs in a forked child, so a crash fails that test alone.
"""

import copy
import re

import pytest
from helpers import forked

from telvar.core.errors import ConnectionInfraError

pytestmark = forked

NOT_FOUND = "Plugin data not found"
OPERATIONS = ("register_plugin", "get_plugin", "unregister_plugin")


class Conn:
    pass


class Boom:
    """Raises RuntimeError when called, hashed or truth-tested."""

    def __init__(self, what="boom"):
        self.what = what

    def __call__(self, *args, **kwargs):
        raise RuntimeError(self.what)

    __hash__ = __bool__ = __call__


class SameHashAsData:
    """Hashes like the reserved "data" key; comparing calls eq()."""

    def __init__(self, eq):
        self.eq = eq

    def __hash__(self):
        return hash("data")

    def __eq__(self, other):
        return self.eq()


RECORD = {"data": {"single_rp": {"cls": Conn, "path": "x"}}}
Unprintable = type("Unprintable", (), {"__str__": Boom()})


def whole(message):
    """A match pattern for exactly this message."""
    return "^%s$" % re.escape(message)


def node(keys, **children):
    """A registry node whose keys() is the given function."""
    return type("Node", (dict,), {"keys": keys})(**children)


def name(value, **methods):
    """A str subclass instance with the given methods overridden."""
    return type("Name", (str,), methods)(value)


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
def test_failing_node_keys(manager, operation, keys, error, match):
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
def test_node_keys_change_registry(manager, mutate, after, operation, children, kwargs, result):
    def keys(self):
        mutate(manager)
        return dict.keys(self)

    manager.plugins["alpha"] = node(keys, **children)
    assert operate(manager, operation, os="alpha", platform="p1", **kwargs) is result
    assert manager.plugins == after


def test_node_keys_clear_registry_before_unregister(manager):
    def keys(self):
        manager.plugins.clear()
        return dict.keys(self)

    manager.plugins["alpha"] = node(keys, p1={})
    with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
        manager.unregister_plugin(os="alpha", platform="p1")


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
            "unregister_plugin", dict(os="alpha", os_flavor=Boom()), "boom", id="hash-unregister"
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
def test_path_element_hash_or_eq_raises(manager, operation, kwargs, match):
    manager.register_plugin(Conn, os="alpha", platform="p1")
    before = repr(manager.plugins)
    with pytest.raises(RuntimeError, match=whole(match)):
        operate(manager, operation, **kwargs)
    assert repr(manager.plugins) == before


def clear_registry(manager):
    def clear():
        manager.plugins.clear()
        return False

    return SameHashAsData(clear)


@pytest.mark.parametrize("operation, result", [("register_plugin", None), ("get_plugin", Conn)])
def test_path_element_eq_clears_registry(manager, operation, result):
    manager.register_plugin(Conn, os="alpha", platform="p1")
    flavor = clear_registry(manager)
    assert operate(manager, operation, os="alpha", platform="p1", os_flavor=flavor) is result


def test_path_element_eq_clears_registry_before_unregister(manager):
    manager.register_plugin(Conn, os="alpha", platform="p1")
    with pytest.raises(ConnectionInfraError, match=whole(NOT_FOUND)):
        manager.unregister_plugin("alpha", "p1", os_flavor=clear_registry(manager))


UPPER_OK = name("UPPER", islower=lambda self: [0])


def test_case_tests_of_str_subclass_decide(manager):
    assert manager.validate_model(os="alpha", platform="p1", model=UPPER_OK) is None
    lower = name("lower", islower=lambda self: (), isdigit=lambda self: "")
    with pytest.raises(
        ConnectionInfraError, match=whole("platform (lower) has to be in lowercase")
    ):
        manager.validate_platform("alpha", lower)


@pytest.mark.parametrize(
    "method, args, kwargs, match",
    [
        pytest.param(
            "validate_platform",
            ("alpha", name("p1", islower=Boom("islower"))),
            {},
            "islower",
            id="islower-raises",
        ),
        pytest.param(
            "validate_model",
            ("alpha", "p1", name("m1", islower=lambda self: 0, isdigit=lambda self: Boom())),
            {},
            "boom",
            id="isdigit-result-truth",
        ),
        pytest.param(
            "validate_model",
            ("alpha", "p1", name("M1", __str__=Boom())),
            {},
            "boom",
            id="str-model",
        ),
        pytest.param("validate_model", (None, "p1", Unprintable()), {}, "boom", id="model-no-os"),
        pytest.param("validate_platform", (None, Unprintable()), {}, "boom", id="platform-no-os"),
        pytest.param(
            "validate_os", (type("Zero", (int,), {"__str__": Boom()})(0),), {}, "boom", id="int-os"
        ),
        pytest.param("validate_os", (Unprintable(),), {}, "boom", id="os"),
        pytest.param("validate_chassis_type", (Unprintable(),), {}, "boom", id="chassis"),
        pytest.param(
            "get_plugin", (), dict(os="linux", chassis_type=Unprintable()), "boom", id="get-chassis"
        ),
    ],
)
def test_case_test_or_str_raises(manager, method, args, kwargs, match):
    with pytest.raises(RuntimeError, match=whole(match)):
        getattr(manager, method)(*args, **kwargs)


def test_registered_str_subclass_key(manager):
    assert manager.register_plugin(Conn, os="alpha", platform=UPPER_OK) is None
    assert type(next(iter(manager.plugins["alpha"]))).__name__ == "Name"
    with pytest.raises(RuntimeError, match=whole("boom")):
        manager.unregister_plugin(os="alpha", platform=UPPER_OK, chassis_type=Unprintable())


def test_supported_lists_with_hostile_methods(manager):
    manager.supported_os = type("Names", (list,), {"__str__": Boom()})(["alpha"])
    with pytest.raises(RuntimeError, match=whole("boom")):
        manager.validate_os("")
    names = type("Names", (list,), {"__contains__": Boom()})(["linux"])
    manager.supported_os = manager.chassis_type_list = names
    with pytest.raises(RuntimeError, match=whole("boom")):
        manager.register_plugin(Conn, os="beta")
    with pytest.raises(RuntimeError, match=whole("boom")):
        manager.validate_arguments("linux", None, None, None)
    message = "chassis Type should be one of these ['linux'], but got "
    with pytest.raises(ConnectionInfraError, match=whole(message)):
        manager.validate_chassis_type("")


def logger(debug):
    return type("Log", (), {"debug": debug})()


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.validate_os("gamma"),
        lambda m: m.register_plugin(Conn, os="alpha", platform="p1"),
    ],
    ids=["validate_os", "register_plugin"],
)
def test_raising_logger(pm, manager, monkeypatch, call):
    manager.register_plugin(Conn, os="alpha", platform="p1")
    before = repr(manager.plugins)
    monkeypatch.setattr(pm, "log", logger(Boom("debug")))
    with pytest.raises(RuntimeError, match=whole("debug")):
        call(manager)
    assert repr(manager.plugins) == before


def test_logger_clears_registry(pm, manager, monkeypatch):
    manager.register_plugin(Conn, os="alpha", platform="p1")
    monkeypatch.setattr(pm, "log", logger(lambda self, text: manager.plugins.clear()))
    assert manager.register_plugin(Conn, os="alpha", platform="p1") is None
    assert manager.register_plugin(Conn, os="gamma") is None
    assert list(manager.plugins) == ["gamma"]


def test_logger_replaces_registry(pm, manager, monkeypatch):
    manager.register_plugin(Conn, os="gamma")
    monkeypatch.setattr(pm, "log", logger(lambda self, text: setattr(manager, "_plugins", {})))
    assert manager.register_plugin(Conn, os="gamma") is None
    assert manager.register_plugin(Conn, os="linux", platform="p1") is None
    assert manager.register_plugin(Conn, os="linux", platform="p1") is None


def test_getfile_clears_registry(pm, manager, monkeypatch):
    def getfile(cls):
        manager.plugins.clear()
        return "somewhere"

    monkeypatch.setattr(pm, "getfile", getfile)
    assert manager.register_plugin(Conn, os="alpha", platform="p1", model="m1") is None


def test_error_class_not_an_exception(pm, manager, monkeypatch):
    monkeypatch.setattr(pm, "ConnectionInfraError", lambda message: 42)
    with pytest.raises(TypeError, match=whole("exceptions must derive from BaseException")):
        manager.validate_os(None)


def test_error_class_deleted(pm, manager, monkeypatch):
    monkeypatch.delattr(pm, "ConnectionInfraError")
    with pytest.raises(NameError, match=whole("name 'ConnectionInfraError' is not defined")):
        manager.get_plugin(os="linux", platform="p9")


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
            "beta", {"single_rp": {}}, "register_plugin", {}, KeyError, whole("'cls'"), id="no-cls"
        ),
        pytest.param(
            "beta", {"single_rp": {}}, "get_plugin", {}, KeyError, whole("'cls'"), id="no-cls-get"
        ),
        pytest.param("gamma", ["single_rp"], "register_plugin", {}, TypeError, INDICES, id="list"),
        pytest.param("gamma", ["single_rp"], "get_plugin", {}, TypeError, INDICES, id="list-get"),
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
def test_malformed_record(manager, os, data, operation, kwargs, error, match):
    manager.plugins[os] = {"data": copy.deepcopy(data)}
    with pytest.raises(error, match=match):
        operate(manager, operation, os=os, **kwargs)
    assert manager.plugins == {os: {"data": data}}


def test_validator_clears_registry(pm):
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
def test_validator_takes_registry_away(pm, operation, value, match):
    def gate(self, *args):
        if value is None:
            self.__dict__.pop("_plugins", None)
        else:
            self._plugins = value

    gated = type("Gate", (pm.PluginManager,), {"validate_arguments": gate})()
    with pytest.raises(AttributeError, match=whole(match)):
        operate(gated, operation, "alpha")
