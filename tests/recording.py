"""Recording nodes, keys and managers: the calls an operation makes, on the native manager and
on the plain-Python reference.

A scenario runs twice: on a subclass of the native manager and on the same subclass of the
reference, each over a fresh tree made of recording dict and str subclasses. Both runs must
make the same calls in the same order and end the same way. The recorded_debug fixture
(conftest.py) sends the debug records of both into the same list.
"""

import reference

from telvar.core import pluginmanager as pm

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
