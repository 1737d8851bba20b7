"""The fast paths give what the general ones give.

Plain dicts, exact str values and the manager's own methods are served by
shortcuts; dict and str subclasses and overriding methods take the general
path. Both must produce the same results.
"""

import pytest
from helpers import reference_tree

from telvar.core.errors import ConnectionInfraError


class Conn:
    pass


class Node(dict):
    """A registry node that counts its keys() calls."""

    calls = 0

    def keys(self):
        Node.calls += 1
        return super().keys()


class Text(str):
    pass


def wrapped(tree):
    """The same tree made of dict subclasses with str-subclass keys and values."""
    if isinstance(tree, dict):
        return Node({Text(k): wrapped(v) for k, v in tree.items()})
    return Text(tree) if isinstance(tree, str) else tree


TREES = [
    {"alpha": {"data": {"single_rp": {"cls": Conn, "path": "/p/conn.py"}}}},
    {"b": {"€uro": "x\ny", "a": "é"}, "a": 1, "😀": {"k": None}, "Z": {}},
    {"a": {"b": {"c": {"d": "\n\n"}}}, "e": "", "f": 0, "g": {"data": {}}},
    {"line\nbreak": {"k": "v"}, "ß": "ǅ"},
]


@pytest.mark.parametrize("tree", TREES)
@pytest.mark.parametrize("output", ["plugin", "", "é\nx"])
def test_rendering_matches_reference_on_every_path(pm, tree, output):
    class Overriding(pm.PluginManager):
        def print_tree(self, data, output="plugin"):
            return super().print_tree(data, output)

    expected = reference_tree(tree, output)
    assert pm.PluginManager().print_tree(tree, output) == expected
    assert pm.PluginManager().print_tree(wrapped(tree), Text(output)) == expected
    assert Overriding().print_tree(tree, output) == expected


def test_rebinding_print_tree_during_a_rendering_is_honoured(pm):
    class Leaf:
        def __str__(self):
            Manager.print_tree = lambda self, data, output="plugin": "X"
            return "leaf"

    class Manager(pm.PluginManager):
        pass

    text = Manager().print_tree({"a": Leaf(), "b": "kept", "c": {"d": 1}})
    assert text == "plugin\n  |__ a = leaf\n  |X\n  |X"


def test_instance_attribute_print_tree_renders_children(pm, manager):
    manager.print_tree = lambda data, output: "<" + output + ">"
    assert pm.PluginManager.print_tree(manager, {"a": 1, "b": 2}) == "plugin\n  |<__ a>\n  |<__ b>"


def test_dict_subclass_nodes_are_walked_through_keys(manager):
    manager.register_plugin(Conn, os="alpha", platform="plat1")
    manager.plugins["alpha"] = Node(manager.plugins["alpha"])
    Node.calls = 0
    assert manager.get_plugin(os="alpha", platform="plat1", model="m1") is Conn
    assert Node.calls == 1
    with pytest.raises(ConnectionInfraError, match=r"^Plugin data not found$"):
        manager.unregister_plugin(os="alpha", platform="plat2")
    assert Node.calls == 2


CASE_SAMPLES = [
    "abc",
    "a1-b.2",
    "ǅ",
    "ß",
    "²",
    "١٢",
    "１２",
    "ⅷ",
    "ǆ1",
    "ΑΒ",
    "αβ",
    "1.2",
    "",
    "-",
    "Ab",
]


@pytest.mark.parametrize("value", CASE_SAMPLES)
def test_case_rules_match_str_methods(manager, value):
    accepted = value.islower() or value.isdigit()
    for argument in (value, Text(value)):
        if accepted or not value:
            manager.validate_platform(os="alpha", platform=argument)
        else:
            with pytest.raises(ConnectionInfraError, match="has to be in lowercase"):
                manager.validate_platform(os="alpha", platform=argument)


def test_str_subclass_case_methods_are_called(manager):
    calls = []

    class Loud(str):
        def islower(self):
            calls.append("islower")
            return False

        def isdigit(self):
            calls.append("isdigit")
            return 1

    manager.validate_model(os="alpha", platform="p", model=Loud("UPPER"))
    assert calls == ["islower", "isdigit"]
