"""The calls each operation makes on the registry's nodes and keys, on the manager and on the output.

Every scenario runs twice: on a subclass of the native manager and on the same subclass of the
plain-Python reference, each over a fresh tree made of recording dict and str subclasses. Both
runs must make the same calls in the same order and end the same way.
"""

import pytest
import reference

from telvar.core import pluginmanager as pm
from telvar.core.errors import ConnectionInfraError

calls = []  # what the running scenario recorded


class Node(dict):
    """A registry node that records the dict operations made on it."""

    def keys(self):
        calls.append(("node", self.name, "keys"))
        return super().keys()

    def __contains__(self, key):
        calls.append(("node", self.name, "in", str(key)))
        return super().__contains__(key)

    def __getitem__(self, key):
        calls.append(("node", self.name, "get", str(key)))
        return super().__getitem__(key)

    def __delitem__(self, key):
        calls.append(("node", self.name, "del", str(key)))
        super().__delitem__(key)

    def __setitem__(self, key, value):
        calls.append(("node", self.name, "set", str(key)))
        super().__setitem__(key, value)


class Text(str):
    """A key or an output that records its comparisons, hashing and concatenations."""

    def __eq__(self, other):
        calls.append(("eq", str(self), str(other)))
        return str.__eq__(self, other)

    def __hash__(self):
        calls.append(("hash", str(self)))
        return str.__hash__(self)

    def __add__(self, other):
        calls.append(("add", str(self), str(other)))
        return Text(str.__add__(self, other))

    def __radd__(self, other):
        calls.append(("radd", str(other), str(self)))
        return Text(str.__add__(other, self))


class Leaf:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        calls.append(("str", self.text))
        return self.text


class Flag:
    """An OS value that counts its truth tests."""

    def __init__(self, truthy):
        self.truthy = truthy

    def __bool__(self):
        calls.append(("bool",))
        return self.truthy

    def __repr__(self):
        return "flag"


class Conn:
    pass


RECORD = {"cls": Conn, "path": "/p/conn.py"}
REGISTRY = {
    "alpha": {
        "p1": {"data": {"single_rp": RECORD, "dual_rp": RECORD}},
        "data": {"single_rp": RECORD},
    },
    "beta": {"p1": {}},
}
TREE = {"b": {"y": Leaf("y1\ny2"), "x": Leaf("x")}, "a": Leaf("a"), "c": {}, "d": {"z": 0}}
FOUR = {"a": 1, "b": 2, "c": 3, "d": 4}

# How a tree is made: (path nodes, their keys, data maps and records, their keys).
VARIANTS = {
    "recording nodes and keys": (Node, Text, Node, Text),
    "recording nodes, plain data maps": (Node, str, dict, str),
    "plain nodes, recording keys": (dict, Text, dict, Text),
}


def build(layout, variant, name="root", in_data=False):
    """The plain nested dict `layout` rebuilt with the variant's node and key types."""
    if not isinstance(layout, dict):
        return layout
    kind, key = variant[2:] if in_data else variant[:2]
    items = {
        key(k): build(v, variant, f"{name}/{k}", in_data or k == "data") for k, v in layout.items()
    }
    if kind is dict:
        return items
    node = Node(items)
    node.name = name
    return node


def shape(tree):
    return {str(k): shape(v) for k, v in tree.items()} if isinstance(tree, dict) else tree


def other_renderer(data, output="plugin"):
    calls.append(("other renderer", str(output)))
    return "<" + str(output) + ">"


def run(base, operation, tree=REGISTRY, variant="recording nodes and keys", swap_from=None):
    """operation(manager) on a recording subclass of base: (outcome, calls, tree afterwards).

    The subclass records the names looked up on it and, from the swap_from-th look-up of
    print_tree on, answers with another renderer.
    """
    print_tree_look_ups = 0

    class Hooked(base):
        def __getattribute__(self, name):
            nonlocal print_tree_look_ups
            calls.append(("self", name))
            if name == "print_tree":
                print_tree_look_ups += 1
                if swap_from and print_tree_look_ups >= swap_from:
                    return other_renderer
            return super().__getattribute__(name)

    manager = Hooked()
    manager._plugins = build(tree, VARIANTS[variant])
    calls.clear()
    try:
        result = operation(manager)
        if isinstance(result, str):
            result = type(result).__name__, str(result).replace(hex(id(manager)), "ID")
        outcome = "returned", result
    except Exception as exc:
        outcome = type(exc), exc.args
    recorded = calls[:]
    after = shape(object.__getattribute__(manager, "_plugins"))
    calls.clear()
    return outcome, recorded, after


@pytest.fixture(autouse=True)
def debug_records(monkeypatch):
    logger = type("Log", (), {"debug": lambda self, text: calls.append(("debug", text))})()
    monkeypatch.setattr(pm, "log", logger)
    monkeypatch.setattr(reference, "log", logger)


def same_calls(operation, **options):
    """A scenario makes the same calls on the native manager as on the reference, and ends
    with the same outcome and the same tree."""
    native = run(pm.PluginManager, operation, **options)
    model = run(reference.ReferenceManager, operation, **options)
    assert native[0] == model[0]
    assert native[1] == model[1]
    assert native[2] == model[2]


def label(where):
    return ",".join(f"{name}={value}" for name, value in where.items())


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize(
    "where",
    [
        dict(os="alpha", platform="p1"),
        dict(os="alpha", platform="p2"),  # a missing level is skipped
        dict(os="alpha", platform="p1", model="m1", os_flavor="f1", chassis_type="dual_rp"),
        dict(os="alpha", os_flavor="p1", chassis_type="stack"),
        dict(os="beta", platform="p1"),
    ],
    ids=label,
)
def test_lookup_calls(variant, where):
    same_calls(lambda m: m.get_plugin(**where), variant=variant)


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize(
    "where",
    [
        dict(os="alpha", platform="p1"),
        dict(os="alpha", platform="p1", chassis_type="dual_rp"),
        dict(os="alpha", platform="p1", chassis_type="stack"),
        dict(os="alpha", platform="p2", chassis_type="single_rp"),
        dict(os="beta", platform="p1"),
    ],
    ids=label,
)
def test_unregistration_calls(variant, where):
    same_calls(lambda m: m.unregister_plugin(**where), variant=variant)


WALK = ["root keys", "root get alpha", "root/alpha keys", "root/alpha get p1"]


@pytest.mark.parametrize(
    "operation, where, node_calls",
    [
        (
            "get_plugin",
            dict(os="alpha", platform="p1", chassis_type="dual_rp"),
            WALK
            + ["root/alpha/p1 in data", "root/alpha/p1 get data", "root/alpha/p1/data in dual_rp"]
            + ["root/alpha/p1 get data", "root/alpha/p1/data get dual_rp"]
            + ["root/alpha/p1/data/dual_rp get cls"],
        ),
        (
            "unregister_plugin",
            dict(os="alpha", platform="p1"),
            WALK + ["root/alpha/p1 in data", "root/alpha/p1 del data"],
        ),
        (
            "unregister_plugin",
            dict(os="alpha", platform="p1", chassis_type="dual_rp"),
            WALK
            + ["root/alpha/p1 in data", "root/alpha/p1 get data"]
            + ["root/alpha/p1/data in dual_rp", "root/alpha/p1/data del dual_rp"],
        ),
    ],
    ids=["lookup", "unregistration of a data map", "unregistration of a chassis type"],
)
def test_node_calls_spelled_out(operation, where, node_calls):
    for base in (pm.PluginManager, reference.ReferenceManager):
        outcome, recorded, _ = run(base, lambda m: getattr(m, operation)(**where))
        assert outcome[0] == "returned"
        assert [" ".join(call[1:]) for call in recorded if call[0] == "node"] == node_calls


RENDERINGS = {
    "print_tree": (lambda m: m.print_tree(m._plugins), TREE, None),
    "print_tree answered by another renderer from the third look-up": (
        lambda m: m.print_tree(m._plugins),
        FOUR,
        3,
    ),
    "print_tree to a None output": (lambda m: m.print_tree(m._plugins, None), TREE, None),
    "print_tree to a str subclass": (lambda m: m.print_tree(m._plugins, Text("top")), TREE, None),
    "print_tree by keyword to an empty str subclass": (
        lambda m: m.print_tree(data=m._plugins, output=Text("")),
        FOUR,
        2,
    ),
    "repr": (repr, TREE, None),
    "repr answered by another renderer from the third look-up": (repr, TREE, 3),
}


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("render, tree, swap_from", RENDERINGS.values(), ids=RENDERINGS.keys())
def test_rendering_calls(variant, render, tree, swap_from):
    same_calls(render, tree=tree, variant=variant, swap_from=swap_from)


@pytest.mark.parametrize(
    "listed, truthy, truth_tests, outcome",
    [
        (True, True, 2, ("returned", None)),
        (False, True, 1, ("returned", None)),  # noted in the debug log
        (
            True,
            False,
            2,
            (ConnectionInfraError, ("OS should be one of these [flag] , but got flag",)),
        ),
        (False, False, 2, (ConnectionInfraError, ("OS should be one of these [] , but got flag",))),
    ],
)
def test_validate_os_truth_tests(listed, truthy, truth_tests, outcome):
    flag = Flag(truthy)

    def validate(manager):
        manager.supported_os = [flag] if listed else []
        return manager.validate_os(flag)

    for base in (pm.PluginManager, reference.ReferenceManager):
        result, recorded, _ = run(base, validate)
        assert result == outcome
        assert recorded.count(("bool",)) == truth_tests
    same_calls(validate)
