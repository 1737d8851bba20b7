"""The child of test_memory_failures.py: one operation of the manager under allocation failure.

    python memory_sweep.py CASE

For start = 0, 1, 2, ... the operation runs with every allocation after the first `start`
failing (_testcapi.set_nomemory(start)) until it runs through; then again for start = 0, 1,
2, ... with that one allocation failing alone (set_nomemory(start, start + 1)), after which a
caller may recover and go on, until it runs through RUN_THROUGH times in a row. Each attempt
gets a fresh fixture. An attempt must end as the operation ends without failures (the same
result or exception, the same tree after it), or with MemoryError and the tree as it was
before, object for object. Prints one JSON object: the case, the first start it ran through
at, and the faults found.

The operation is called straight from the frame that catches its exception: a Python frame in
between that only passes an exception on can lose it to a failed allocation in CPython 3.12
and 3.13 themselves ("SystemError: error return without exception set"). For the same reason
discovery imports the small package's modules through stand-ins of pkgutil.walk_packages and
importlib.import_module (module globals that discovery looks up at each call): CPython's own
import system does not survive allocation failures (3.12 and 3.13 crash in walk_packages's
generator with no telvar code involved; 3.14 and 3.15 raise RuntimeError("can't allocate read
lock") from importlib's module locks). The plugin modules register classes made beforehand: a
class statement run under allocation failure crashes 3.12 and 3.13 too.
"""

import _testcapi
import gc
import json
import re
import sys
import types

import telvar.core.pluginmanager as pm
from telvar.core.pluginmanager import PluginManager

CAP = 5000  # allocations; an operation that needs more is a fault too
MAX_FAULTS = 5  # of each kind, so that one fault does not flood the report
RUN_THROUGH = 50  # single failures in a row that the operation runs through: it is past them


class Conn:
    """A plugin class."""


class Other:
    """Another plugin class."""


class Key(str):
    """A str subclass: path elements and tree keys that only the general paths take."""


def plain_manager():
    """A tree the fast paths take: plain dicts, exact str keys, a plain manager."""
    m = PluginManager()
    m.register_plugin(Conn, os="alpha", platform="p1", model="m1")
    m.register_plugin(Other, os="alpha", platform="p1", model="m1", chassis_type="dual_rp")
    m.register_plugin(Conn, os="alpha", platform="p2")
    m.register_plugin(Other, os="beta")
    return m


def general_manager():
    """Records under str-subclass keys, and a node with leaves of its own."""
    m = PluginManager()
    m.register_plugin(Conn, os=Key("alpha"), platform=Key("p1"), model="m1")
    m.register_plugin(Other, os=Key("alpha"), platform=Key("p1"), model="m1", chassis_type="stack")
    m.register_plugin(Other, os=Key("beta"))
    m.plugins[Key("gamma")] = {"leaf": 1, Key("other"): [1, 2]}
    return m


# --- the small plugin package of the discovery cases ---------------------------------------

PREFIX = "telvar.plugins."
# What the walk of the package yields: the test module is left out by discovery.
WALK = [("delta", False), ("echo", True), ("echo.tests", False)]
SOURCES = {
    "delta": 'manager.register_plugin(DeltaConnection, os="delta")\n',
    "echo": 'manager.register_plugin(EchoConnection, os="echo")\n',
    "echo.tests": 'raise AssertionError("discovery imported a test module")\n',
}
# The class each plugin module registers, by the OS it registers it for.
REGISTERED = {
    os_name: type(f"{os_name.title()}Connection", (), {"__module__": PREFIX + os_name})
    for os_name in ("delta", "echo")
}


class EntryPoint:
    """What discover_external_plugins uses of an entry point."""

    def __init__(self, package, name):
        self.package = package
        self.name = name
        self.module_name = PREFIX + name

    def load(self):
        return self.package.import_module(self.module_name)


class SmallPackage:
    """telvar.plugins as a package of two plugin modules and a test module, which register
    into the manager of the attempt, imported through stand-ins of the import system."""

    def __init__(self):
        self.real = sys.modules["telvar.plugins"]
        self.code = {PREFIX + n: compile(s, f"<small>/{n}.py", "exec") for n, s in SOURCES.items()}
        self.classes = {cls.__name__: cls for cls in REGISTERED.values()}
        # Made beforehand: under allocation failure, a debug 3.14's own LIST_APPEND asserts.
        self.walk = [(None, PREFIX + name, is_package) for name, is_package in WALK]
        self.package = None
        self.entry_points = [EntryPoint(self, name) for name in REGISTERED]

    def manager(self):
        """A fresh manager, and the package laid anew for the next attempt."""
        for name in [n for n in sys.modules if n.startswith(PREFIX)]:
            del sys.modules[name]
        self.package = types.ModuleType("telvar.plugins")
        self.package.__path__ = ["<small>"]
        self.package.manager = plain_manager()
        sys.modules["telvar.plugins"] = self.package
        pm.pkgutil = types.SimpleNamespace(walk_packages=self.walk_packages)
        pm.importlib = types.SimpleNamespace(import_module=self.import_module)
        pm.iter_entry_points = self.iter_entry_points
        return self.package.manager

    def restore(self):
        sys.modules["telvar.plugins"] = self.real
        pm.pkgutil, pm.importlib = sys.modules["pkgutil"], sys.modules["importlib"]

    def walk_packages(self, path, prefix):
        if path is not self.package.__path__ or prefix != PREFIX:
            raise AssertionError(f"walk_packages({path!r}, {prefix!r})")
        return self.walk

    def import_module(self, name):
        module = types.ModuleType(name)
        module.__file__ = self.code[name].co_filename
        module.manager = self.package.manager
        module.__dict__.update(self.classes)
        sys.modules[name] = module
        exec(self.code[name], module.__dict__)
        return module

    def iter_entry_points(self, group):
        if group != "telvar.plugins":
            raise AssertionError(f"iter_entry_points(group={group!r})")
        return list(self.entry_points)


# --- the trees as values ---------------------------------------------------------------------


class Same:
    """An object compared by identity."""

    __slots__ = ("obj",)

    def __init__(self, obj):
        self.obj = obj

    def __eq__(self, other):
        return isinstance(other, Same) and self.obj is other.obj

    def __repr__(self):
        return f"<the same {type(self.obj).__name__} {self.obj!r:.60}>"


def snapshot(node):
    """The tree object for object: every dict by identity, its items in order."""
    if type(node) is dict:
        return (Same(node), tuple((Same(k), snapshot(v)) for k, v in node.items()))
    return Same(node)


def shape(node):
    """The tree as a value: dicts by their items in order, keys by type and text, classes by
    identity, other leaves by type and value."""
    if isinstance(node, dict):
        return (type(node), tuple((type(k), k, shape(v)) for k, v in node.items()))
    if isinstance(node, type):
        return Same(node)
    return (type(node), node)


def plugin_record(node, os_name):
    """Whether `node` is the whole branch that the plugin module for `os_name` registers."""
    record = {"cls": REGISTERED[os_name], "path": f"<small>/{os_name}.py"}
    return shape(node) == shape({"data": {"single_rp": record}})


# --- the operations --------------------------------------------------------------------------


def without_address(text):
    return re.sub(r" at 0x[0-9a-f]+", " at 0x...", text)


def cases(package):
    """Each case: the fixture that gives the manager, the call to make on it (callable,
    arguments, keyword arguments), and the view of its result to compare."""
    plain, general = plain_manager, general_manager

    def small():
        return package.manager()

    def on(fixture, call, view=None):
        return fixture, call, view

    return {
        "construction": on(
            plain,
            lambda m: (PluginManager, (), {}),
            lambda r: (type(r), type(r.plugins), r.plugins),
        ),
        "validate_os": on(plain, lambda m: (m.validate_os, ("alpha",), {})),
        "validate_os, refused": on(plain, lambda m: (m.validate_os, ("",), {})),
        "validate_platform": on(plain, lambda m: (m.validate_platform, ("alpha", "p1"), {})),
        "validate_model": on(plain, lambda m: (m.validate_model, ("alpha", "p1", "m1"), {})),
        "validate_chassis_type": on(plain, lambda m: (m.validate_chassis_type, ("dual_rp",), {})),
        "validate_arguments": on(
            plain, lambda m: (m.validate_arguments, ("alpha", "p1", "m1", "single_rp"), {})
        ),
        "register_plugin, new": on(
            plain,
            lambda m: (m.register_plugin, (Conn,), dict(os="gamma", platform="g1", model="g2")),
        ),
        "register_plugin, replacing": on(
            plain, lambda m: (m.register_plugin, (Conn,), dict(os="beta", chassis_type="single_rp"))
        ),
        "register_plugin, general path": on(
            general,
            lambda m: (m.register_plugin, (Conn,), dict(os=Key("alpha"), platform=Key("p9"))),
        ),
        "get_plugin, hit": on(
            plain, lambda m: (m.get_plugin, (), dict(os="alpha", platform="p1", model="m1"))
        ),
        "get_plugin, miss": on(
            plain, lambda m: (m.get_plugin, (), dict(os="gamma", platform="p1"))
        ),
        "get_plugin, general path": on(
            general, lambda m: (m.get_plugin, (Key("alpha"), Key("p1"), "m1"), {})
        ),
        "unregister_plugin, one of two": on(
            plain,
            lambda m: (
                m.unregister_plugin,
                (),
                dict(os="alpha", platform="p1", model="m1", chassis_type="dual_rp"),
            ),
        ),
        "unregister_plugin, the last": on(
            plain,
            lambda m: (
                m.unregister_plugin,
                (),
                dict(os="alpha", platform="p2", chassis_type="single_rp"),
            ),
        ),
        "unregister_plugin, general path": on(
            general, lambda m: (m.unregister_plugin, (Key("beta"),), dict(chassis_type="single_rp"))
        ),
        "print_tree": on(plain, lambda m: (m.print_tree, (m.plugins,), {})),
        "print_tree, general path": on(general, lambda m: (m.print_tree, (m.plugins,), {})),
        "repr": on(plain, lambda m: (repr, (m,), {}), without_address),
        "discover_builtin_plugins": on(
            small, lambda m: (PluginManager.discover_builtin_plugins, (), {})
        ),
        "discover_external_plugins": on(
            small, lambda m: (PluginManager.discover_external_plugins, (), {})
        ),
    }


def attempt(fixture, call, view, start, stop):
    """Runs the call on a fresh fixture with allocations failing from `start` (to `stop`):
    (kind, value, manager, tree before) with kind "result", "raised" or "MemoryError"."""
    sys._getframe()  # this frame's object, made now: a traceback through it needs it
    manager = fixture()
    function, args, kwargs = call(manager)
    before = snapshot(manager.plugins)
    error = result = None
    _testcapi.set_nomemory(start, stop)
    try:
        result = function(*args, **kwargs)
    except BaseException as exc:  # every outcome is judged by the caller
        _testcapi.remove_mem_hooks()
        error = exc
    finally:
        _testcapi.remove_mem_hooks()
    if error is None:
        return "result", view(result) if view else result, manager, before
    if type(error) is MemoryError:
        return "MemoryError", None, manager, before
    return "raised", (type(error), str(error)), manager, before


def unchanged(manager, before, discovery):
    """Whether the tree is as it was before, object for object; after discovery, the whole
    branch of a plugin module imported before the failure may have been added too."""
    tree = manager.plugins
    if snapshot(tree) == before:
        return True
    if not discovery or Same(tree) != before[0]:
        return False
    old = {item[0].obj for item in before[1]}
    added = [k for k in tree if k not in old]
    return all(k in REGISTERED and plugin_record(tree[k], k) for k in added) and (
        snapshot({k: v for k, v in tree.items() if k in old})[1] == before[1]
    )


def sweep(name, package):
    fixture, call, view = cases(package)[name]
    discovery = name.startswith("discover")
    faults = []
    counts = {"from": 0, "single": 0}

    def fault(kind, start, text):
        counts[kind] += 1
        if counts[kind] <= MAX_FAULTS:
            what = "every allocation from" if kind == "from" else "only allocation"
            faults.append(f"{name}, {what} {start + 1} failing: {text:.600}")

    def judge(kind, start, outcome, expected):
        what, value, manager, before = outcome
        if what == "MemoryError":
            if not unchanged(manager, before, discovery):
                fault(kind, start, f"MemoryError, and the tree changed: {manager.plugins!r}")
            return
        got = (what, value, shape(manager.plugins))
        if got != expected:
            fault(kind, start, f"{got!r} instead of {expected!r}")

    gc.disable()  # the same allocations in every attempt
    # Cold first: state made lazily is made under failure too. The outcome without failures
    # is known after, so the first attempt that ran through is kept to be judged then.
    allocations = completion = None
    for start in range(CAP):
        sys.stderr.write(f"from {start + 1}\n")
        outcome = attempt(fixture, call, view, start, 0)
        if outcome[0] != "MemoryError":
            allocations, completion = start, outcome
            break
        judge("from", start, outcome, None)
    if completion is None:
        faults.append(f"{name}: still failing with every allocation from {CAP} failing")
        return {"case": name, "allocations": None, "faults": faults}
    what, value, manager, _ = attempt(fixture, call, view, 2**31 - 1, 0)  # nothing fails
    expected = (what, value, shape(manager.plugins))
    judge("from", allocations, completion, expected)
    # Where the failure of an allocation is recovered from, the operation goes on another way,
    # which may allocate more than it did above: single failures go on until the operation ran
    # through RUN_THROUGH times in a row.
    streak = 0
    for start in range(CAP):
        sys.stderr.write(f"single {start + 1}\n")
        outcome = attempt(fixture, call, view, start, start + 1)
        judge("single", start, outcome, expected)
        streak = 0 if outcome[0] == "MemoryError" else streak + 1
        if streak == RUN_THROUGH:
            break
    return {"case": name, "allocations": allocations, "faults": faults}


def main():
    package = SmallPackage()
    try:
        report = sweep(sys.argv[1], package)
    finally:
        package.restore()
    print(json.dumps(report))


if __name__ == "__main__":
    main()
