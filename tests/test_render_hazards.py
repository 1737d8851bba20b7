"""The renderer against Python code that runs in the middle of a rendering, text of every
width and line breaks in keys: the result and every observable call are the rule's.

Each case renders with the class's own print_tree on a native and on a reference manager
and compares the text (or the exception) and the calls the objects saw. Every test runs in
a forked child, so a crash fails that test alone.
"""

import pytest
from helpers import reference_tree
from reference import ReferenceManager

from telvar.core.pluginmanager import PluginManager

pytestmark = pytest.mark.forked


class Conn:
    pass


class Text(str):
    """A str subclass with nothing of its own."""


class AddingText(str):
    """A str subclass whose `+` logs and keeps the class."""

    log = None

    def __add__(self, other):
        AddingText.log.append(("add", str(self), str(other)))
        return AddingText(str.__add__(self, other))


class Key(str):
    """A key whose "__ " + key gives an AddingText."""

    __hash__ = str.__hash__

    def __radd__(self, other):
        AddingText.log.append(("radd", str(other), str(self)))
        return AddingText(other + str(self))


def noisy_class(name, on_compare):
    """A class whose str() runs on_compare(): its dict holds, before __module__, a key that
    hashes like "__module__", which the look-up of __module__ compares."""

    armed = []

    class Sneaky(str):
        def __hash__(self):
            return hash("__module__")

        def __eq__(self, other):
            if armed:  # not while the class is made
                on_compare()
            return False

    cls = type(name, (), {Sneaky("sneaky"): None, "__module__": "pkg"})
    armed.append(True)
    return cls


def outcome(manager, scenario):
    calls = AddingText.log = []
    data, output = scenario(manager, calls)
    try:
        result = ("text", type(manager).print_tree(manager, data, output))
    except Exception as exc:  # the exception is the result compared
        result = (type(exc).__name__, str(exc))
    return result, calls


def assert_follows_the_rule(scenario):
    assert outcome(PluginManager(), scenario) == outcome(ReferenceManager(), scenario)


# ------------------------------------------- Python code inside str() of a class


def clears_the_tree(manager, calls):
    tree = {}

    def clear():
        calls.append("compare")
        for node in list(tree.values()):
            node.clear()
        tree.clear()

    cls = noisy_class("Conn", clear)
    tree.update({"a": {"cls": cls, "path": "p"}, "b": {"cls": cls, "path": "q"}})
    return tree, "plugin"


def drops_a_sibling(manager, calls):
    tree = {}

    def drop():
        calls.append("compare")
        tree.pop("b", None)
        tree["a"]["path"] = "changed\npath"

    cls = noisy_class("Conn", drop)
    tree.update({"a": {"cls": cls, "path": "p"}, "b": {"x": 1}})
    return tree, "plugin"


def rebinds_the_module(manager, calls):
    def rebind():
        calls.append("compare")
        if len(calls) == 1:
            cls.__module__ = "moved"

    cls = noisy_class("Conn", rebind)
    return {"a": {"cls": cls, "path": "p"}, "b": {"cls": cls, "zz": {"cls": cls}}}, "plugin"


@pytest.mark.parametrize("scenario", [clears_the_tree, drops_a_sibling, rebinds_the_module])
def test_python_code_inside_str_of_a_class(scenario):
    assert_follows_the_rule(scenario)


# ------------------------------------------------------------ text of every width


@pytest.mark.parametrize(
    "data, output",
    [
        ({"x": "ab\nā", "y": 1}, Text("plug")),
        ({"x": "ab\nā", "y": 1}, AddingText("plug")),
        ({"a": "x", "b": "ā\nb", "c": {"d": "𝄞\ne"}}, Text("plug")),
        ({"é\nx": "y\nÿ", "z": "中"}, Text("plūg\nq")),
        ({Key("k\nā"): "v\n𝄞", "z": {Key("é"): 1}}, "plugin"),
        ({Key("k"): {"a": "b\nc"}, "z": "\n"}, Text("p")),
        ({"a": type("C", (), {"__module__": "mod\nū"}), "b": "\U0001f600"}, "ascii"),
    ],
)
def test_text_of_every_width(data, output):
    assert_follows_the_rule(lambda manager, calls: (data, output))


# --------------------------------------------------------------- line breaks in keys


@pytest.mark.parametrize(
    "data",
    [
        {"a\nb": 1, "z": 2},
        {"a\nb": {"c\n": "d"}, "z\n": {"e": "f\ng"}},
        {"\n": "", "\n\n": {"x": None}, "é\n𝄞": "x"},
    ],
)
def test_line_breaks_in_keys(data):
    assert_follows_the_rule(lambda manager, calls: (data, "plugin"))


@pytest.mark.parametrize("os_name", ["alpha\n", "al\npha", "ā\n"])
def test_line_breaks_in_a_registered_os_show_in_repr(os_name):
    manager = PluginManager()
    manager.register_plugin(Conn, os=os_name)
    head = f"plugins ({PluginManager} at {hex(id(manager))}) "
    assert repr(manager) == reference_tree(manager.plugins, head)


# -------------------------------------------- Python code that runs between children


def installs_print_tree_from_str(manager, calls):
    def replacement(data, output="plugin"):
        calls.append(("replacement", output))
        return output + " (replaced)"

    def install():
        calls.append("compare")
        manager.print_tree = replacement

    cls = noisy_class("Conn", install)
    return {"a": cls, "b": {"c": 1}, "d": 2}, "plugin"


def installs_print_tree_from_a_finaliser(manager, calls):
    def replacement(data, output="plugin"):
        calls.append(("replacement", output))
        return output + " (replaced)"

    class Once:
        def __call__(self, data, output="plugin"):
            calls.append(("once", output))
            del manager.print_tree  # the caller holds the last reference now
            return output

        def __del__(self):
            calls.append("finalised")
            manager.print_tree = replacement

    manager.print_tree = Once()
    return {"a": 1, "b": {"c": 1}, "d": 2}, "plugin"


def str_of_one_class_at_each_occurrence(manager, calls):
    cls = noisy_class("Conn", lambda: calls.append("compare"))
    return {"a": cls, "b": {"c": cls, "d": cls}, "e": {"f": {"g": cls}}}, "plugin"


def class_before_a_leaf_of_another_kind(manager, calls):
    cls = noisy_class("Conn", lambda: calls.append("compare"))
    return {"a": {"cls": cls}, "b": 1.5, "c": cls}, "plugin"


@pytest.mark.parametrize(
    "scenario",
    [
        installs_print_tree_from_str,
        installs_print_tree_from_a_finaliser,
        str_of_one_class_at_each_occurrence,
        class_before_a_leaf_of_another_kind,
    ],
)
def test_python_code_between_children_is_seen(scenario):
    assert_follows_the_rule(scenario)
