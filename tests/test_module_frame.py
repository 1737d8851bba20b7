"""Module initialisation and import, the PluginManager class surface, construction, `plugins`
and the module globals the functions read."""

import builtins
import ctypes
import importlib
import inspect
import sys
import types

import pytest
from helpers import forked, in_child, looping, whole

import telvar
import telvar.plugins
from telvar.core.pluginmanager import PluginManager

NAME = "telvar.core.pluginmanager"
IDS = ("os", "platform", "model", "os_flavor", "chassis_type")


I8, I12 = " " * 8, " " * 12


# name, parameters, __defaults__, __doc__ (print_tree's is checked separately)
FUNCTIONS = [
    ("__init__", ("self",), None, f"\n{I12}Initialize\n{I8}"),
    ("validate_model", ("self", "os", "platform", "model"), None, f"\n{I8} Validates Model\n{I8}"),
    ("validate_platform", ("self", "os", "platform"), None, f"\n{I8} Validates platform\n{I8}"),
    ("validate_os", ("self", "os"), None, f"\n{I8} Validates OS\n{I8}"),
    ("validate_chassis_type", ("self", "chassis_type"), None, f"\n{I8} Validate chassis\n{I8}"),
    (
        "validate_arguments",
        ("self", "os", "platform", "model", "chassis_type"),
        None,
        f" Validates the input arguments provided\n{I8}",
    ),
    (
        "get_plugin",
        ("self",) + IDS,
        (None,) * 4 + ("single_rp",),
        f"\n{I12}This method returns the connection class based on the\n{I12}input details provided\n{I8}",
    ),
    (
        "unregister_plugin",
        ("self",) + IDS,
        (None,) * 5,
        f"\n{I12}This method unregister a particular implementations from\n{I12}the internal database\n{I8}",
    ),
    (
        "register_plugin",
        ("self", "cls") + IDS,
        (None,) * 4 + ("single_rp",),
        f"\n{I12}This method registers all the implementation plugin(i.e connection class)\n"
        f"{I12}to the telvar plugin manager\n\n{I12}It takes OS, platform, MODEL information and based on that\n"
        f"{I12}registers it\n\n{I12}cls refer to the connection class\n"
        f"{I12}chassis_type indicates if the connection class is for single_rp or\n"
        f"{I12}dual_rp or stack(default single_rp)\n\n{I8}",
    ),
    ("discover_builtin_plugins", (), None, "loads all plugins"),
    (
        "discover_external_plugins",
        (),
        None,
        f"\n{I8}discover external plugins defined that users pip installed.\n{I8}",
    ),
    ("print_tree", ("self", "data", "output"), ("plugin",), None),
    ("__repr__", ("self",), None, None),
]


def test_class_object(pm):
    cls = pm.PluginManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "PluginManager",
        "PluginManager",
        NAME,
    )
    assert (
        cls.__doc__
        == f"\n{I8}Loads all plugin implementation,\n{I8}provides API's for accessing plugins\n    "
    )
    names = [f[0] for f in FUNCTIONS]
    assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "plugins"] + names[1:] + [
        "__dict__",
        "__weakref__",
    ]


@pytest.mark.parametrize("name, params, defaults, doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_surface(pm, manager, name, params, defaults, doc):
    func = getattr(pm.PluginManager, name)
    assert func is getattr(pm.PluginManager, name)
    assert (func.__name__, func.__qualname__, func.__module__) == (
        name,
        "PluginManager." + name,
        NAME,
    )
    assert func.__defaults__ == defaults
    sig = inspect.signature(func)
    assert tuple(sig.parameters) == params
    defaults = defaults or ()
    assert tuple(p.default for p in sig.parameters.values()) == (
        (inspect.Parameter.empty,) * (len(params) - len(defaults)) + defaults
    )
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    if name.startswith("discover_"):
        assert isinstance(vars(pm.PluginManager)[name], staticmethod)
        assert getattr(manager, name) is func
    else:
        assert (
            getattr(manager, name).__self__ is manager and getattr(manager, name).__func__ is func
        )
    if name == "print_tree":
        assert func.__doc__.startswith(" This Method print the plugin list in tree structure\n")
        assert f"\n{I8}Sample Tree Structure::\n" in func.__doc__
    else:
        assert func.__doc__ == doc


def test_methods_bind_like_functions(pm, manager):
    assert vars(pm.PluginManager)["get_plugin"] is pm.PluginManager.get_plugin
    assert list(inspect.signature(manager.get_plugin).parameters) == list(IDS)
    other = types.SimpleNamespace()  # self is not type-checked, as for any plain function
    assert pm.PluginManager.__init__(other) is None
    assert pm.PluginManager.plugins.fget(other) is other._plugins == {}


def test_plugins_property_shape(pm):
    prop = vars(pm.PluginManager)["plugins"]
    assert isinstance(prop, property) and prop.fdel is None and prop.fget is not prop.fset
    assert prop.__doc__ == prop.fget.__doc__ == prop.fset.__doc__ == f" Plugin list getter\n{I8}"
    assert prop.fget.__qualname__ == prop.fset.__qualname__ == "PluginManager.plugins"


def test_module_globals_and_docstring(pm):
    import pkg_resources

    from telvar.core.errors import ConnectionInfraError

    expected = {
        "os": __import__("os"),
        "pkgutil": __import__("pkgutil"),
        "importlib": importlib,
        "log": telvar.log,
        "supported_chassis": telvar.plugins.supported_chassis,
        "supported_os": telvar.plugins.supported_os,
        "getfile": inspect.getfile,
        "ConnectionInfraError": ConnectionInfraError,
        "iter_entry_points": pkg_resources.iter_entry_points,
        "ENTRYPOINT_GROUP": "telvar.plugins",
        "PluginManager": pm.PluginManager,
    }
    assert [n for n in vars(pm) if n in expected] == list(expected)
    assert all(vars(pm)[n] is v for n, v in expected.items() if n != "ENTRYPOINT_GROUP")
    assert pm.ENTRYPOINT_GROUP == "telvar.plugins"
    lines = pm.__doc__.split("\n")
    assert lines[5].startswith("    ") and lines[5].strip()  # the maintainers
    assert lines[:5] + lines[6:] == [
        "",
        "Module:",
        "    telvar.core.pluginmanager",
        "",
        "Authors:",
        "",
        "Description:",
        "    This module provides",
        "    1. Methods for identifying and loading plugin implementations",
        "    2. Methods for validating and accessing platform implementation",
        "",
    ]


def test_construction(pm):
    a, b = pm.PluginManager(), pm.PluginManager()
    assert list(vars(a)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert type(a._plugins) is dict and a._plugins == {} and a._plugins is not b._plugins
    assert a.chassis_type_list is b.chassis_type_list is telvar.plugins.supported_chassis
    assert a.supported_os is b.supported_os is telvar.plugins.supported_os
    assert a.plugins is a.plugins is a._plugins
    assert a != b and a == a and hash(a) == object.__hash__(a)
    old = a.plugins
    old["alpha"] = {}
    assert a.__init__() is None
    assert a.plugins == {} and a.plugins is not old and old == {"alpha": {}}


@pytest.fixture
def module_globals(pm, monkeypatch):
    """monkeypatch, for the module's globals: its undo also puts them back in their order, which
    monkeypatch alone does not for a deleted one (it returns at the end)."""
    order = list(vars(pm))
    yield monkeypatch
    monkeypatch.undo()
    for key in order:
        vars(pm)[key] = vars(pm).pop(key)


def test_globals_read_at_construction(pm, module_globals):
    monkeypatch = module_globals
    before, replacement = pm.PluginManager(), ["other"]
    monkeypatch.setattr(pm, "supported_os", replacement)
    assert pm.PluginManager().supported_os is replacement
    assert before.supported_os is telvar.plugins.supported_os
    monkeypatch.delattr(pm, "supported_os")
    monkeypatch.setattr(builtins, "supported_os", replacement, raising=False)
    assert pm.PluginManager().supported_os is replacement


@pytest.mark.parametrize(
    "name, assigned",
    [
        ("supported_chassis", ["_plugins"]),
        ("supported_os", ["_plugins", "chassis_type_list"]),
    ],
)
def test_missing_global_at_construction(pm, module_globals, name, assigned):
    module_globals.delattr(pm, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        pm.PluginManager()
    half = object.__new__(pm.PluginManager)
    with pytest.raises(NameError):
        half.__init__()
    assert list(vars(half)) == assigned


@pytest.mark.parametrize("value", [None, {}, {"alpha": {}}, 0, "plugins"])
def test_plugins_is_read_only(manager, value):
    registry = manager.plugins
    registry["beta"] = {}
    with pytest.raises(Exception) as info:
        manager.plugins = value
    assert type(info.value) is Exception and info.value.args == (
        " Protected Member, cannot modify Plugins",
    )
    with pytest.raises(AttributeError):
        del manager.plugins
    assert manager.plugins is registry and registry == {"beta": {}}


def test_subclassing(pm):
    class Custom(pm.PluginManager):
        def __init__(self):
            super().__init__()
            self.extra = 1

    sub = Custom()
    assert (
        sub.plugins == {}
        and sub.extra == 1
        and sub.chassis_type_list is telvar.plugins.supported_chassis
    )


def test_reimport_returns_same_module(pm, monkeypatch):
    before = dict(vars(pm))
    monkeypatch.delitem(sys.modules, NAME)
    assert importlib.import_module(NAME) is pm
    assert vars(pm).keys() == before.keys() and pm.__doc__ == before["__doc__"]
    assert all(vars(pm)[k] is v for k, v in before.items() if k not in ("__spec__", "__doc__"))


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


def test_module_body_runs_once(pm):
    get_def = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)(
        ("PyModule_GetDef", ctypes.pythonapi)
    )
    exec_def = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p)(
        ("PyModule_ExecDef", ctypes.pythonapi)
    )
    definition = get_def(pm)
    before = dict(vars(pm))
    assert exec_def(pm, definition) == 0
    assert vars(pm).keys() == before.keys() and all(vars(pm)[k] is v for k, v in before.items())
    stranger = types.ModuleType("x")
    with pytest.raises(RuntimeError) as info:
        exec_def(stranger, definition)
    assert (
        str(info.value)
        == "Module 'pluginmanager' has already been imported. Re-initialisation is not supported."
    )
    assert not hasattr(stranger, "PluginManager")


def test_blocked_dependency_fails_every_time_until_available(run_python):
    result = run_python(f"""
        import sys
        for _ in range(2):
            sys.modules["pkg_resources"] = None
            try:
                import {NAME}
            except ModuleNotFoundError as exc:
                print("blocked", exc.name, {NAME!r} in sys.modules)
        print("stand-in", "telvar._pkg_resources" in sys.modules)  # never over a block
        del sys.modules["pkg_resources"]
        import {NAME} as pm
        print(pm.ENTRYPOINT_GROUP, pm.PluginManager().plugins, pm.iter_entry_points.__module__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "blocked pkg_resources False",
        "blocked pkg_resources False",
        "stand-in False",
        "telvar.plugins {} pkg_resources",
    ]


@pytest.mark.parametrize(
    "package, name",
    [
        ("telvar", "log"),
        ("telvar.plugins", "supported_chassis"),
        ("telvar.plugins", "supported_os"),
        ("telvar.core.errors", "ConnectionInfraError"),
    ],
)
def test_host_package_missing_name(run_python, package, name):
    result = run_python(f"""
        import {package} as host
        del host.{name}
        try:
            import {NAME}
        except ImportError as exc:
            print(type(exc).__name__, exc)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"ImportError cannot import name '{name}' from '{package}'")


def test_load_without_parent_package(run_python, pm):
    result = run_python(f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("pluginmanager", {pm.__file__!r})
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as exc:
            print(type(exc).__name__, exc)
    """)
    assert (result.stdout, result.returncode) == (
        "ImportError attempted relative import with no known parent package\n",
        0,
    ), result.stderr


def test_second_interpreter_refused(run_python):
    result = run_python(f"""
        import {NAME}
        try:
            # 3.13 renamed the private module; its run_string returns the failure.
            import _interpreters as si
            interp = si.create("legacy")
        except ImportError:
            try:
                import _xxsubinterpreters as si
                interp = si.create(isolated=False)
            except (ImportError, TypeError):
                print("SKIP")
                raise SystemExit(0)
        try:
            failure = si.run_string(interp, "import {NAME}")
        except Exception as exc:
            print(exc)
        else:
            print("imported" if failure is None else failure.msg)
        si.destroy(interp)
    """)
    if result.stdout == "SKIP\n":
        pytest.skip("no sub-interpreter support")
    assert result.returncode == 0, result.stderr
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in result.stdout
    )


# ------------------------------------------------ an import that failed or is still running


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


CIRCULAR = """
import telvar.plugins as plugins
del plugins.supported_chassis
plugins.__spec__ = type("Spec", (), {{"_initializing": {initializing}}})()
try:
    {statement}
except Exception as error:
    print(type(error).__name__, repr(str(error)), getattr(error, "name", None))
    print(getattr(error, "name_from", None), getattr(error, "path", None) == plugins.__file__)
"""


# A __spec__ that raises when asked whether it is initialising: 3.12 takes that for "no", later
# versions raise its error.
@pytest.mark.parametrize("initializing", ["True", "False", "property(lambda s: 1 / 0)"])
def test_from_import_errors_are_the_interpreters(run_python, initializing):
    """The module's own from-import fails as the interpreter's does: message and attributes."""

    def run(statement):
        result = run_python(CIRCULAR.format(initializing=initializing, statement=statement))
        assert result.returncode == 0, result.stderr
        return result.stdout

    native = run("import telvar.core.pluginmanager")
    assert native == run("from telvar.plugins import supported_chassis")
    assert ("partially initialized" in native) is (initializing == "True")


@forked
class TestReplacedErrorClass:
    """The module global ConnectionInfraError replaced or deleted: the error raised is the
    interpreter's."""

    def test_error_class_not_an_exception(self, pm, manager, monkeypatch):
        monkeypatch.setattr(pm, "ConnectionInfraError", lambda message: 42)
        with pytest.raises(TypeError, match=whole("exceptions must derive from BaseException")):
            manager.validate_os(None)

    def test_error_class_deleted(self, pm, manager, monkeypatch):
        monkeypatch.delattr(pm, "ConnectionInfraError")
        with pytest.raises(NameError, match=whole("name 'ConnectionInfraError' is not defined")):
            manager.get_plugin(os="linux", platform="p9")

    def test_name_error_carries_the_name(self, pm, monkeypatch):
        monkeypatch.delattr(pm, "ConnectionInfraError")
        with pytest.raises(
            NameError, match=r"^name 'ConnectionInfraError' is not defined$"
        ) as caught:
            pm.PluginManager().validate_platform(None, "p1")
        assert caught.value.name == "ConnectionInfraError"


def test_plugins_as_the_registry_ends_in_recursion_error():
    """The plugins property stored as _plugins reads itself; not constructed, as __init__ would
    assign _plugins."""
    cls = looping(_plugins=PluginManager.plugins)
    assert in_child(lambda: cls.__new__(cls).plugins, limit=200).startswith("RecursionError")
