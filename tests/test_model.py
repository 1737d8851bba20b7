"""Random operation sequences on one manager, checked step by step against the plain-Python
reference manager (the model).

Every result, exception (type and arguments) and debug record, the whole tree after each step
(key order and plain-dict types included) and every rendering must match the model's.
TELVAR_FUZZ_EXAMPLES sets the number of sequences (default 400), TELVAR_FUZZ_STEPS their length.
"""

import os
import types

import reference
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from telvar.core import pluginmanager as pm


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
