"""The registry as a whole: random operation sequences checked step by step against the
plain-Python reference manager, threads sharing one manager, and memory and reference counts
across every public operation.

Each sequence mixes registration, lookup and unregistration on one manager, and what it checks
is the state they leave to each other, so the file is kept whole rather than split by operation.

TELVAR_FUZZ_EXAMPLES sets the number of sequences (default 400), TELVAR_FUZZ_STEPS their length.
"""

import gc
import inspect
import os
import random
import sys
import threading
import time
import types

import pytest
import reference
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from telvar.core import pluginmanager as pm
from telvar.core.errors import ConnectionInfraError


class ConnA:
    pass


class ConnB:
    pass


def field(common, rare):
    """The common values alone, and mostly common values with a rare one now and then."""
    return st.sampled_from(common), st.one_of(*[st.sampled_from(common)] * 3, st.sampled_from(rare))


# Rare values: absent, empty, the reserved key, "linux", upper case, digits, digits with dots,
# non-str, equal but different keys (1 and True), unhashable, non-ASCII.
FIELDS = {
    "cls": field([ConnA, ConnB], [int]),  # getfile refuses built-in classes
    "os": field(
        ["alpha", "linux", "beta", "gamma"],
        [None, "", "data", "Linux", "ALPHA", 1, True, 2.5, [], ["alpha"], "ωmega"],
    ),
    "platform": field([None, "p1", "p2"], ["", "data", "P1", "12", "1.2", 1, [], "linux", "ünï"]),
    "model": field([None, "m1"], ["", "data", "M1", "7", "7.1", 2.5, "single_rp", "p1"]),
    "os_flavor": field([None, "f1", "p1"], ["", "data", "F1", "3", "3.0", 1, 2.5, [], "cls", "🙂"]),
    "chassis_type": field(
        ["single_rp", "dual_rp", "stack"], [None, "", "data", "bogus", 1, [], "cls"]
    ),
}


COMMON = {name: pair[0] for name, pair in FIELDS.items()}
ANY = {name: pair[1] for name, pair in FIELDS.items()}
WHERE = {name: strategy for name, strategy in ANY.items() if name != "cls"}


def shape(value):
    """Nested (key, value) lists: equal shapes have the same keys in the same order, plain dicts."""
    if type(value) is dict:
        return [(key, shape(child)) for key, child in value.items()]
    return value


def dicts(tree, path=()):
    """(key path, identity) of every dict below the root."""
    for key, value in tree.items():
        if type(value) is dict:
            yield path + (key,), id(value)
            yield from dicts(value, path + (key,))


def at(tree, path):
    for key in path:
        tree = tree[key]
    return tree


def outcome(call):
    try:
        return "returned", call()
    except Exception as exc:
        return type(exc), exc.args


def logged(module, call):
    """The outcome of call() and the debug records it sent through module.log."""
    logs = []
    saved, module.log = module.log, types.SimpleNamespace(debug=lambda *a, **k: logs.append((a, k)))
    try:
        return outcome(call), logs
    finally:
        module.log = saved


class RegistryMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.manager, self.model = pm.PluginManager(), reference.ReferenceManager()
        self.registered = []  # argument sets of successful registrations

    def step(self, operation, *args, **kwargs):
        """Runs an operation on the model and the manager and compares everything."""
        nodes_before = list(dicts(self.manager.plugins))
        want = logged(reference, lambda: getattr(self.model, operation)(*args, **kwargs))
        got = logged(pm, lambda: getattr(self.manager, operation)(*args, **kwargs))
        assert got == want  # the outcome, then the debug records
        if got[0][0] != "returned" or operation == "get_plugin":
            assert list(dicts(self.manager.plugins)) == nodes_before
        return got[0][0] == "returned"

    @rule(**COMMON)
    def register_common(self, **args):
        self.register(**args)

    @rule(**ANY)
    def register(self, cls, **args):
        if self.step("register_plugin", cls, **args):
            self.registered.append(args)

    @rule(**WHERE)
    def get(self, **args):
        self.step("get_plugin", **args)

    @rule(**{**WHERE, "chassis_type": st.none() | ANY["chassis_type"]})
    def unregister(self, **args):
        self.step("unregister_plugin", **args)

    @precondition(lambda self: self.registered)
    @rule(
        data=st.data(), unregister=st.booleans(), change=st.sampled_from([None, *list(WHERE)[1:]])
    )
    def revisit(self, data, unregister, change):
        """A lookup or unregistration at or near an earlier registration, so that many hit
        (and many meet the reserved key below a registered node)."""
        args = dict(data.draw(st.sampled_from(self.registered)))
        if change:
            args[change] = data.draw(st.none() | COMMON[change] | st.just("data"), label=change)
        self.step("unregister_plugin" if unregister else "get_plugin", **args)

    @rule(data=st.data(), output=st.sampled_from(["plugin", "", "x\ny", "ünï", "🙂"]))
    def print_tree(self, data, output):
        path = data.draw(st.sampled_from([()] + [p for p, _ in dicts(self.model.plugins)]))
        got = outcome(lambda: self.manager.print_tree(at(self.manager.plugins, path), output))
        assert got == outcome(lambda: self.model.print_tree(at(self.model.plugins, path), output))

    @rule()
    def summary(self):
        head = f"plugins ({pm.PluginManager} at {hex(id(self.manager))}) "
        want = outcome(lambda: self.model.print_tree(self.model.plugins, head))
        assert outcome(lambda: repr(self.manager)) == outcome(lambda: str(self.manager)) == want

    @rule(data=st.data())
    def delete_entry(self, data):
        paths = [p for p, _ in dicts(self.model.plugins)]
        if paths:
            path = data.draw(st.sampled_from(paths))
            for tree in (self.manager.plugins, self.model.plugins):
                del at(tree, path[:-1])[path[-1]]

    @rule(data=st.data(), key=st.sampled_from(["alpha", "p1", "f1", "data", "Zeta", "🙂", "stack"]))
    def add_empty_dict(self, data, key):
        path = data.draw(st.sampled_from([()] + [p for p, _ in dicts(self.model.plugins)]))
        for tree in (self.manager.plugins, self.model.plugins):
            at(tree, path).setdefault(key, {})

    @invariant()
    def same_tree(self):
        assert shape(self.manager.plugins) == shape(self.model.plugins)


RegistryMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TELVAR_FUZZ_EXAMPLES", "400")),
    stateful_step_count=int(os.environ.get("TELVAR_FUZZ_STEPS", "40")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


TestRegistryModel = RegistryMachine.TestCase


# ------------------------------------------------------------------------------- threads


class Yielding(pm.PluginManager):
    def validate_os(self, os):
        time.sleep(0)  # lets the other threads run
        return super().validate_os(os)


def yielding_getfile(cls):
    time.sleep(0)  # between the walk of a registration and its store
    return inspect.getfile(cls)


THREAD_WHERE = {
    "os": ["alpha", "beta", "linux", "gamma"],  # gamma is unsupported: a debug record each time
    "platform": [None, "p1", "p2"],
    "model": [None, "m1", "M1"],  # M1 is refused
    "os_flavor": [None, "f1"],
}
THREAD_NAMES = {name for values in THREAD_WHERE.values() for name in values} - {None}
CHASSIS = ["single_rp", "dual_rp", "stack"]
OPERATIONS = [
    lambda m, r, where, chassis: m.register_plugin(
        r.choice([ConnA, ConnB]), chassis_type=chassis, **where
    ),
    lambda m, r, where, chassis: m.get_plugin(chassis_type=chassis, **where),
    lambda m, r, where, chassis: m.unregister_plugin(
        chassis_type=r.choice([None, chassis]), **where
    ),
    lambda m, r, where, chassis: repr(m),
    lambda m, r, where, chassis: m.print_tree(m.plugins),
    lambda m, r, where, chassis: m.plugins.pop(where["os"], None),  # a caller editing the registry
]


def work(manager, seed, start, failures):
    r = random.Random(seed)
    start.wait()
    for _ in range(3000):
        where = {name: r.choice(values) for name, values in THREAD_WHERE.items()}
        try:
            r.choice(OPERATIONS)(manager, r, where, r.choice(CHASSIS))
        except ConnectionInfraError:
            pass
        except BaseException as exc:  # anything else is the failure looked for
            failures.append(exc)
            return


def check_node(node):
    for key, value in node.items():
        assert type(value) is dict
        if key != "data":
            assert key in THREAD_NAMES
            check_node(value)
            continue
        for chassis, record in value.items():
            assert chassis in CHASSIS and type(record) is dict and list(record) == ["cls", "path"]
            assert record["cls"] in (ConnA, ConnB) and record["path"] == inspect.getfile(ConnA)


class TestThreads:
    """Threads sharing one manager: no crash, no error but ConnectionInfraError, a well-formed
    tree."""

    @pytest.mark.parametrize("yielding", [False, True], ids=["plain", "yielding"])
    def test_shared_manager(self, yielding, monkeypatch):
        if yielding:
            monkeypatch.setattr(pm, "getfile", yielding_getfile)
            monkeypatch.setattr(pm, "log", types.SimpleNamespace(debug=lambda text: time.sleep(0)))
        manager = Yielding() if yielding else pm.PluginManager()
        failures = []
        start = threading.Barrier(6)
        threads = [
            threading.Thread(target=work, args=(manager, n, start, failures)) for n in range(6)
        ]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(60)
        finally:
            sys.setswitchinterval(interval)
        assert not any(thread.is_alive() for thread in threads)
        assert failures == []
        assert type(manager.plugins) is dict
        check_node(manager.plugins)
        manager.register_plugin(ConnB, os="alpha", platform="p9")
        assert manager.get_plugin(os="alpha", platform="p9", model="m9") is ConnB


# ------------------------------------------------------------------------ memory


CIE = ConnectionInfraError


class LeakA:
    pass


class LeakB:
    pass


class FakeEntryPoint:
    def __init__(self, name, fails=False):
        self.name, self.module_name, self.fails = name, "telvar.plugins", fails

    def load(self):
        if self.fails:
            raise ImportError(self.name)


def every_operation(m):
    """Each public operation, succeeding and in each way of failing, with the error it raises."""
    deep = dict(os="alpha", platform="p1", model="m1", os_flavor="f1")
    return [
        (None, lambda: m.register_plugin(LeakA, **deep)),
        (None, lambda: m.register_plugin(LeakB, **deep)),  # replaces, with a debug record
        (None, lambda: m.register_plugin(LeakA, os="gamma", chassis_type="dual_rp")),  # unknown OS
        (None, lambda: m.register_plugin(LeakB, "linux", "p1", chassis_type="any")),
        (CIE, lambda: m.register_plugin(LeakA, os=None)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", model="m1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="p1", model=7)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="p1", model="M1")),
        (CIE, lambda: m.register_plugin(LeakA, platform="p1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform=1)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="P1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", chassis_type="bogus")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="data")),
        (TypeError, lambda: m.register_plugin(LeakA, os="alpha", platform="p2", os_flavor=[])),
        (TypeError, lambda: m.register_plugin(int, os="alpha", platform="p2", model="m2")),
        (None, lambda: m.get_plugin(**deep)),
        (None, lambda: m.get_plugin(os="gamma", platform="p5", chassis_type="dual_rp")),
        (CIE, lambda: m.get_plugin(os="alpha", platform="p1")),
        (TypeError, lambda: m.get_plugin(os="alpha", os_flavor=3)),  # the message cannot be joined
        (TypeError, lambda: m.get_plugin(os="alpha", os_flavor=[])),
        (CIE, lambda: m.get_plugin(os="")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="P1")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p9")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p1")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p1", chassis_type="single_rp")),
        (CIE, lambda: m.unregister_plugin(**deep, chassis_type="stack")),
        (None, lambda: m.unregister_plugin(**deep, chassis_type="single_rp")),
        (None, lambda: m.unregister_plugin(os="gamma")),
        (TypeError, lambda: m.unregister_plugin(os="alpha", os_flavor=[])),
        (None, lambda: m.validate_arguments("gamma", "p1", "m1", "stack")),
        (CIE, lambda: m.validate_arguments("alpha", None, None, None)),
        (CIE, lambda: m.validate_model(os="alpha", platform="p1", model="M1")),
        (CIE, lambda: m.validate_platform(os=None, platform="p1")),
        (CIE, lambda: m.validate_os(os="")),
        (None, lambda: m.validate_chassis_type(chassis_type="dual_rp")),
        (None, lambda: m.print_tree(m.plugins)),
        (None, lambda: m.print_tree({"b": {"x": None, "y": "1\n2"}, "a": "ünï"}, output="top")),
        (TypeError, lambda: m.print_tree({1: {}, "a": 2})),  # unorderable keys
        (TypeError, lambda: m.print_tree({"a": LeakA}, output=None)),
        (None, lambda: repr(m)),
        (None, pm.PluginManager.discover_builtin_plugins),
        (ImportError, pm.PluginManager.discover_external_plugins),
    ]


def run(operations):
    outcomes = []
    for _, operation in operations:
        try:
            operation()
            outcomes.append(None)
        except Exception as exc:
            outcomes.append(type(exc))
    return outcomes


class TestLeaks:
    """Every public operation, succeeding and failing, keeps memory and reference counts flat."""

    def test_every_operation_keeps_memory_and_refcounts_flat(self, pm, monkeypatch):
        entry_points = [FakeEntryPoint("good"), FakeEntryPoint("bad", fails=True)]
        monkeypatch.setattr(pm, "iter_entry_points", lambda group: iter(entry_points))
        gc.collect()
        refcounts = [sys.getrefcount(LeakA), sys.getrefcount(LeakB)]
        m = pm.PluginManager()
        operations = every_operation(m)
        expected = [error for error, _ in operations]
        assert run(operations) == expected
        deltas = []
        for _ in range(5):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(300):
                assert run(operations) == expected
            gc.collect()
            deltas.append(sys.getallocatedblocks() - before)
        assert max(deltas[2:]) < 64, deltas  # a leak of one block per operation would show as 300
        m.unregister_plugin("linux", "p1")  # the last record left
        gc.collect()
        assert [sys.getrefcount(LeakA), sys.getrefcount(LeakB)] == refcounts
        del m, operations
        gc.collect()
        assert [sys.getrefcount(LeakA), sys.getrefcount(LeakB)] == refcounts
