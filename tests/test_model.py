"""Random operation sequences on one manager, checked step by step against a plain-Python model.

Every result, exception (type and arguments) and debug record, the whole tree after each step
(key order and plain-dict types included) and every rendering must match the model's.
TELVAR_FUZZ_EXAMPLES sets the number of sequences (default 400), TELVAR_FUZZ_STEPS their length.
"""

import copy
import inspect
import os
import types

from helpers import reference_tree
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import telvar.plugins
from telvar.core import pluginmanager as pm
from telvar.core.errors import ConnectionInfraError as CIE


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


class Model:
    def __init__(self):
        self.tree, self.logs = {}, []
        self.oses, self.chassis = telvar.plugins.supported_os, telvar.plugins.supported_chassis

    def validate(self, os, platform, model, chassis_type):
        if model:
            if not (platform and os):
                raise CIE("OS and platform are required for Model: " + str(model))
            if not isinstance(model, str):
                raise CIE("Model should be of type str")
            if not (model.islower() or model.isdigit()):
                raise CIE(" Model (%s) has to be in lowecase" % model)
        if platform:
            if os is None:
                raise CIE("OS information not provided for platform: " + str(platform))
            if not isinstance(platform, str):
                raise CIE("platform should be of type str")
            if not (platform.islower() or platform.isdigit()):
                raise CIE("platform (%s) has to be in lowercase" % platform)
        if not os:
            raise CIE("OS should be one of these " + str(self.oses) + " , but got " + str(os))
        if os not in self.oses:
            self.logs.append("%s is not part of the built-in list of supported OSes." % os)
        if os != "linux" and not (chassis_type and chassis_type in self.chassis):
            raise CIE(f"chassis Type should be one of these {self.chassis}, but got {chassis_type}")

    def path(self, os, platform, model, os_flavor):
        path = [os]
        if model is not None or platform is not None:
            path.append(platform)
        if model is not None:
            path.append(model)
        return path if os_flavor is None else path + [os_flavor]

    def register_plugin(self, cls, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, chassis_type)
        path = self.path(os, platform, model, os_flavor)
        if "data" in path:
            raise CIE("'data' is reserved and cannot be used as a plugin path element")
        before = copy.deepcopy(self.tree)
        try:  # a failed registration changes nothing
            node = self.tree
            for element in path:
                node = node[element] if element in node.keys() else node.setdefault(element, {})
            record = {"cls": cls, "path": inspect.getfile(cls)}
            if "data" not in node:
                node["data"] = {}
            elif chassis_type in node["data"]:
                old = node["data"][chassis_type]["cls"].__name__
                self.logs.append(
                    f" {old} already registered for {path}, {cls.__name__} from {cls.__module__}"
                    " is overriding this class"
                )
            node["data"][chassis_type] = record
        except Exception:
            self.tree = before
            raise

    def get_plugin(self, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, chassis_type)
        path, node = self.path(os, platform, model, os_flavor), self.tree
        for element in path:  # a missing level is skipped
            node = node[element] if element in node.keys() else node
        if "data" in node and chassis_type in node["data"]:
            return node["data"][chassis_type]["cls"]
        raise CIE(f"Plugin data not found for ({'/'.join(path)}), type: {chassis_type} ")

    def unregister_plugin(self, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, "single_rp")
        node = self.tree
        for element in self.path(os, platform, model, os_flavor):
            if element not in node.keys():
                raise CIE("Plugin data not found")
            node = node[element]
        if "data" not in node:
            raise CIE("Plugin data not found")
        if chassis_type is None:
            del node["data"]
        elif chassis_type not in node["data"]:
            raise CIE("Plugin data not found for %s" % chassis_type)
        else:
            del node["data"][chassis_type]


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


class RegistryMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.manager, self.model = pm.PluginManager(), Model()
        self.registered = []  # argument sets of successful registrations

    def step(self, operation, *args, **kwargs):
        """Runs an operation on the manager and the model and compares everything."""
        nodes_before = list(dicts(self.manager.plugins))
        self.model.logs = []
        want = outcome(lambda: getattr(self.model, operation)(*args, **kwargs))
        logs = []
        saved, pm.log = pm.log, types.SimpleNamespace(debug=lambda *a, **k: logs.append((a, k)))
        try:
            got = outcome(lambda: getattr(self.manager, operation)(*args, **kwargs))
        finally:
            pm.log = saved
        assert got == want
        assert logs == [((text,), {}) for text in self.model.logs]
        if got[0] != "returned" or operation == "get_plugin":
            assert list(dicts(self.manager.plugins)) == nodes_before
        return got[0] == "returned"

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
        """A lookup or unregistration at or near an earlier registration, so that many hit."""
        args = dict(data.draw(st.sampled_from(self.registered)))
        if change:
            args[change] = data.draw(st.none() | COMMON[change], label=change)
        self.step("unregister_plugin" if unregister else "get_plugin", **args)

    @rule(data=st.data(), output=st.sampled_from(["plugin", "", "x\ny", "ünï", "🙂"]))
    def print_tree(self, data, output):
        path = data.draw(st.sampled_from([()] + [p for p, _ in dicts(self.model.tree)]))
        got = outcome(lambda: self.manager.print_tree(at(self.manager.plugins, path), output))
        assert got == outcome(lambda: reference_tree(at(self.model.tree, path), output))

    @rule()
    def summary(self):
        head = f"plugins ({pm.PluginManager} at {hex(id(self.manager))}) "
        want = outcome(lambda: reference_tree(self.model.tree, head))
        assert outcome(lambda: repr(self.manager)) == outcome(lambda: str(self.manager)) == want

    @rule(data=st.data())
    def delete_entry(self, data):
        paths = [p for p, _ in dicts(self.model.tree)]
        if paths:
            path = data.draw(st.sampled_from(paths))
            for tree in (self.manager.plugins, self.model.tree):
                del at(tree, path[:-1])[path[-1]]

    @rule(data=st.data(), key=st.sampled_from(["alpha", "p1", "f1", "data", "Zeta", "🙂", "stack"]))
    def add_empty_dict(self, data, key):
        path = data.draw(st.sampled_from([()] + [p for p, _ in dicts(self.model.tree)]))
        for tree in (self.manager.plugins, self.model.tree):
            at(tree, path).setdefault(key, {})

    @invariant()
    def same_tree(self):
        assert shape(self.manager.plugins) == shape(self.model.tree)


RegistryMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TELVAR_FUZZ_EXAMPLES", "400")),
    stateful_step_count=int(os.environ.get("TELVAR_FUZZ_STEPS", "40")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestRegistryModel = RegistryMachine.TestCase
