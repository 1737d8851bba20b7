"""Edge cases: runaway recursion, deep odd-keyed trees, retried imports, "data" as a path
element, and the renderer's agreement with the plain rendering rule."""

import copy
import enum
import os
import signal
import sys
import types

import pytest
from helpers import reference_tree
from reference import ReferenceManager

from telvar.core import pluginmanager
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

NAME = "telvar.core.pluginmanager"
NOT_FOUND = "Plugin data not found"
RESERVED = "'data' is reserved and cannot be used as a plugin path element"


class ConnA:
    pass


class ConnB:
    pass


def in_child(call, limit=None):
    """call() in a forked child bounded in time and memory: "ok" or "<Type>: <message>"."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the bounded child needs fork, resource limits and /proc")
    import resource

    read, write = os.pipe()
    if (pid := os.fork()) == 0:  # pragma: no cover - the child
        os.close(read)
        signal.alarm(30)
        with open("/proc/self/statm") as statm:
            pages = int(statm.read().split()[0])
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (2 << 30), hard))
        try:
            sys.setrecursionlimit(limit or sys.getrecursionlimit())
            call()
            outcome = "ok"
        except BaseException as exc:
            outcome = f"{type(exc).__name__}: {str(exc)[:2000]}"
        os.write(write, outcome.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        outcome = pipe.read()
    status = os.waitpid(pid, 0)[1]
    assert not os.WIFSIGNALED(status), f"the child died of signal {os.WTERMSIG(status)}"
    assert status == 0 and outcome, f"the child exited with status {status}"
    return outcome


# ------------------------------------------------- recursion through the module's own functions


def looping(**attributes):
    return type("Looping", (PluginManager,), attributes)


def validator_is_get_plugin(monkeypatch):
    m = PluginManager()
    m.validate_os = m.get_plugin
    return lambda: m.get_plugin(os="alpha")


def validate_arguments_is_get_plugin(monkeypatch):
    return lambda: looping(validate_arguments=PluginManager.get_plugin)().get_plugin(os="alpha")


def error_class_is_get_plugin(monkeypatch):  # the empty registry's not-found error recurses
    monkeypatch.setattr(pluginmanager, "ConnectionInfraError", PluginManager().get_plugin)
    return lambda: PluginManager().get_plugin(os="linux")


def registry_is_plugins(monkeypatch):  # not constructed: __init__ would assign _plugins
    cls = looping(_plugins=PluginManager.plugins)
    return lambda: cls.__new__(cls).plugins


def logger_is_validate_os(monkeypatch):  # each level logs a longer message
    monkeypatch.setattr(
        pluginmanager, "log", types.SimpleNamespace(debug=PluginManager().validate_os)
    )
    return lambda: PluginManager().validate_os("nope")


def print_tree_is_repr(monkeypatch):
    m = looping(print_tree=property(PluginManager.__repr__))()
    m.plugins["alpha"] = {"data": {"single_rp": {"cls": ConnA, "path": "p"}}}
    return lambda: repr(m)


@pytest.mark.parametrize(
    "scenario",
    [
        validator_is_get_plugin,
        validate_arguments_is_get_plugin,
        error_class_is_get_plugin,
        registry_is_plugins,
        logger_is_validate_os,
        print_tree_is_repr,
    ],
)
def test_mutual_recursion_ends_in_recursion_error(monkeypatch, scenario):
    assert in_child(scenario(monkeypatch), limit=200).startswith("RecursionError")


# ------------------------------------------------------------------ deep trees of odd keys


KEYS = {
    "str": "k",
    "str_enum": enum.StrEnum("Key", {"K": "k"}).K,
    "str_subclass": type("Name", (str,), {})("k"),
    "radd": type("Name", (str,), {"__radd__": lambda self, other: str.__add__(other, self)})("k"),
    "radd_self_type": type(
        "Name", (str,), {"__radd__": lambda self, other: type(self)(str.__add__(other, self))}
    )("k"),
}


def chain(key, depth):
    tree = "x"
    for _ in range(depth):
        tree = {key: tree}
    return tree


@pytest.mark.parametrize("depth", [300, 6_000, 100_000])
@pytest.mark.parametrize("key", KEYS.values(), ids=KEYS)
def test_deep_tree_renders_as_the_rule_or_raises_recursion_error(manager, key, depth):
    manager.plugins[key] = chain(key, depth)
    head = f"plugins ({PluginManager} at {hex(id(manager))}) "

    def render():
        for text, output in [
            (lambda: manager.print_tree(manager.plugins), "plugin"),
            (lambda: repr(manager), head),
        ]:
            if depth > 1_000:
                with pytest.raises(RecursionError):
                    text()
            else:
                assert text() == reference_tree(manager.plugins, output)
        assert manager.print_tree({"k": {"j": 1}}) == "plugin\n  |__ k\n    |__ j = 1"

    assert in_child(render, limit=3_000) == "ok"


# ------------------------------------------------------------ a failed first import, retried

BREAKERS = {
    "id": ("del builtins.id", "NameError"),
    "property": ("builtins.property = lambda *a, **k: 1 / 0", "ZeroDivisionError"),
}


@pytest.mark.parametrize("breaker, error", BREAKERS.values(), ids=BREAKERS)
def test_failed_first_import_is_retried_whole(run_python, breaker, error):
    result = run_python(f"""
        import builtins, inspect, sys
        import pkg_resources, telvar, telvar.plugins, telvar.core.errors
        saved = dict(vars(builtins))
        {breaker}
        try:
            import {NAME}
        except Exception as exc:
            print("failed", type(exc).__name__)
        builtins.id, builtins.property = saved["id"], saved["property"]
        sys.modules.pop({NAME!r}, None)
        import {NAME} as pm
        class Conn:
            __module__ = "telvar.core.errors"  # getfile needs a module with a file
        m = pm.PluginManager()
        m.register_plugin(Conn, os="alpha")
        print(repr(m) == f"plugins ({{pm.PluginManager}} at {{hex(id(m))}}) "
              f"\\n  |__ alpha\\n    |__ data\\n      |__ single_rp\\n        |__ cls = {{Conn}}"
              f"\\n        |__ path = {{inspect.getfile(Conn)}}")
        print(pm.PluginManager().plugins, type(vars(pm.PluginManager)["plugins"]).__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"failed {error}", "True", "{} property"]


def test_reimport_does_not_leak(run_python):
    result = run_python(f"""
        import gc, importlib, sys
        def reimport(times):
            for _ in range(times):
                del sys.modules[{NAME!r}]
                importlib.import_module({NAME!r})
            gc.collect()
        importlib.import_module({NAME!r})
        reimport(2_000)
        before = sys.getallocatedblocks()
        reimport(20_000)
        print(sys.getallocatedblocks() - before)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 100


# ------------------------------------------------------------------ "data" as a path element


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


# ------------------------------------------------------- the renderer follows the plain rule


def key_rebinds_print_tree(m, calls):
    def replacement(data, output="plugin"):
        calls.append(("replacement", output))
        return output + " (replaced)"

    class Rebinding(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            calls.append(("eq", str(self), str(other)))
            m.print_tree = replacement
            return str.__eq__(self, other)

    return {Rebinding("a"): {"x": 1}, "b": {"y": 2}, "c": 3}


def leaf_text_with_radd(m, calls):
    class Text(str):
        def __radd__(self, other):
            calls.append(("radd", other))
            return "R(" + str.__add__(other, self) + ")"

    leaf = type("Leaf", (), {"__str__": lambda self: Text("v")})()
    return {"a": leaf, "b": {"c": leaf, "d": {"e": 1}}}


def key_never_equal(m, calls):
    class Never(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            calls.append(("eq", str(self)))
            return False

    return {Never("k"): {"a": 1, "b": {"c": 2}}}


@pytest.mark.parametrize("scenario", [key_rebinds_print_tree, leaf_text_with_radd, key_never_equal])
def test_renderer_follows_the_plain_rule(scenario):
    results = []
    for m in (PluginManager(), ReferenceManager()):
        calls = []
        results.append((m.print_tree(scenario(m, calls), "top"), calls))
    assert results[0] == results[1]
