"""The renderer against the plain-Python reference renderer: Python code that runs in the
middle of a rendering, text of every width, line breaks in keys, the calls made on keys and
outputs, and random trees. The text (or the exception) and every observable call must be the
reference's."""

import pytest
from helpers import reference_tree
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from recording import FOUR, TREE, VARIANTS, same_calls
from recording import Text as RecordingText
from reference import ReferenceManager

from telvar.core.pluginmanager import PluginManager


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


# ---------------------------------------------------- Python code in the middle of a rendering


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


@pytest.mark.forked
class TestPythonCodeMidRendering:
    """Python code inside str() of a class, and between children."""

    @pytest.mark.parametrize("scenario", [clears_the_tree, drops_a_sibling, rebinds_the_module])
    def test_python_code_inside_str_of_a_class(self, scenario):
        assert_follows_the_rule(scenario)

    @pytest.mark.parametrize(
        "scenario",
        [
            installs_print_tree_from_str,
            installs_print_tree_from_a_finaliser,
            str_of_one_class_at_each_occurrence,
            class_before_a_leaf_of_another_kind,
        ],
    )
    def test_python_code_between_children_is_seen(self, scenario):
        assert_follows_the_rule(scenario)


# ------------------------------------------------------------------------- text of every width


@pytest.mark.forked
class TestTextOfEveryWidth:
    """Text of every width and line breaks in keys."""

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
    def test_text_of_every_width(self, data, output):
        assert_follows_the_rule(lambda manager, calls: (data, output))

    @pytest.mark.parametrize(
        "number", [-7, -10, 9, 10, -(2**63) - 1, -(2**63), -(2**63) + 1, 2**63 - 1, 2**63]
    )
    def test_integer_leaves(self, number):
        assert_follows_the_rule(lambda manager, calls: ({"a": number, "b": {"c": -number}}, "p"))

    @pytest.mark.parametrize(
        "data",
        [
            {"a\nb": 1, "z": 2},
            {"a\nb": {"c\n": "d"}, "z\n": {"e": "f\ng"}},
            {"\n": "", "\n\n": {"x": None}, "é\n𝄞": "x"},
        ],
    )
    def test_line_breaks_in_keys(self, data):
        assert_follows_the_rule(lambda manager, calls: (data, "plugin"))

    @pytest.mark.parametrize("os_name", ["alpha\n", "al\npha", "ā\n"])
    def test_line_breaks_in_a_registered_os_show_in_repr(self, os_name):
        manager = PluginManager()
        manager.register_plugin(Conn, os=os_name)
        head = f"plugins ({PluginManager} at {hex(id(manager))}) "
        assert repr(manager) == reference_tree(manager.plugins, head)


# ------------------------------------------------------------------------------ the plain rule


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


# ------------------------------------------------------------------------------ the calls made


RENDERINGS = {
    "print_tree": (lambda m: m.print_tree(m._plugins), TREE, None),
    "print_tree answered by another renderer from the third look-up": (
        lambda m: m.print_tree(m._plugins),
        FOUR,
        3,
    ),
    "print_tree to a None output": (lambda m: m.print_tree(m._plugins, None), TREE, None),
    "print_tree to a str subclass": (
        lambda m: m.print_tree(m._plugins, RecordingText("top")),
        TREE,
        None,
    ),
    "print_tree by keyword to an empty str subclass": (
        lambda m: m.print_tree(data=m._plugins, output=RecordingText("")),
        FOUR,
        2,
    ),
    "repr": (repr, TREE, None),
    "repr answered by another renderer from the third look-up": (repr, TREE, 3),
}


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The calls print_tree and repr make on the nodes, keys, output and manager, as the
    reference makes them."""

    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize("render, tree, swap_from", RENDERINGS.values(), ids=RENDERINGS.keys())
    def test_rendering_calls(self, variant, render, tree, swap_from):
        same_calls(render, tree=tree, variant=variant, swap_from=swap_from)


# ------------------------------------------------------------------ random trees


LOG = []


class Sub(str):
    """A str subclass with nothing of its own."""


class Adding(str):
    """A str subclass whose `+`, on either side, logs and keeps the class."""

    def __add__(self, other):
        return joined("add", self, other)

    def __radd__(self, other):
        return joined("radd", other, self)


def joined(kind, left, right):
    LOG.append((kind, str(left), str(right)))
    return Adding(str.__add__(left, right))


def leaf(text):
    """A leaf whose str() is the given text (which may be a subclass)."""
    return type("Leaf", (), {"__str__": lambda self: LOG.append(("str", str(text))) or text})()


CLASSES = [
    type("Conn", (), {"__module__": "pkg.conn"}),
    type("Conn", (), {"__module__": "pkg\nconn"}),
    type("Wīde", (), {"__module__": "pkg\nū"}),
    type("Astral", (), {"__module__": "😀"}),
]


CHARS = list("ab_Z \n") + ["é", "ÿ", "ā", "中", "𝄞", "😀"]


texts = st.text(st.sampled_from(CHARS), max_size=6)


keys = st.one_of(texts, texts.map(Sub), texts.map(Adding))


leaves = st.one_of(
    texts,
    st.text(st.sampled_from(CHARS), min_size=30, max_size=40),
    texts.map(leaf),
    texts.map(lambda text: leaf(Sub(text))),
    texts.map(lambda text: leaf(Adding(text))),
    # Small ones, those at the edges of a machine word, and larger.
    st.integers(-1000, 1000),
    st.sampled_from([-(2**63) - 1, -(2**63), -(2**63) + 1, 2**63 - 1, 2**63]),
    st.integers(-(10**20), 10**20),
    st.sampled_from([None, True, False, 1.5, {}, *CLASSES]),
)


trees = st.recursive(
    leaves, lambda children: st.dictionaries(keys, children, max_size=4), max_leaves=12
)


outputs = st.one_of(texts, texts.map(Sub), texts.map(Adding))


def overriding(base):
    class Overriding(base):
        def print_tree(self, data, output="plugin"):
            LOG.append(("print_tree", str(output)))
            return super().print_tree(data, output)

    return Overriding


MANAGERS = {
    False: (PluginManager, ReferenceManager),
    True: (overriding(PluginManager), overriding(ReferenceManager)),
}


def rendered(manager_class, data, output):
    LOG.clear()
    manager = manager_class()
    try:
        text = manager_class.print_tree(manager, data, output)
        result = ("text", text, type(text).__name__, text.isascii())
    except Exception as exc:  # the exception is the result compared
        result = (type(exc).__name__, str(exc))
    return result, list(LOG)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=trees, output=outputs, override=st.booleans())
@example(data={"": "ā\n"}, output=Adding(""), override=False)  # an empty rest of a wide text
def test_print_tree_renders_as_the_reference(data, output, override):
    native, reference = MANAGERS[override]
    assert rendered(native, data, output) == rendered(reference, data, output)
