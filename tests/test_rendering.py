"""Rendering of registry trees (print_tree) and a manager's repr(): the exact text, keys of
every kind, deep and wide trees, overrides, and the shortcuts against the general path."""

import copy
import enum
import inspect

import pytest
from helpers import in_child, looping, reference_tree

from telvar.core.pluginmanager import PluginManager

ConnA = type("ConnA", (), {"__module__": "pkg.conn"})


ConnB = type("ConnB", (), {"__module__": "pkg.conn"})


def record(cls, path="/opt/p/conn.py"):
    return {"cls": cls, "path": path}


def three_key_tree():
    # Inserted beta first, and plat1 before data, to prove keys get sorted.
    return {
        "beta": {"data": {"single_rp": record(ConnB)}},
        "alpha": {
            "plat1": {"data": {"dual_rp": record(ConnB)}},
            "data": {"single_rp": record(ConnA)},
        },
    }


THREE_KEY_TEXT = """\
plugin
  |__ alpha
  |  |__ data
  |  |  |__ single_rp
  |  |    |__ cls = <class 'pkg.conn.ConnA'>
  |  |    |__ path = /opt/p/conn.py
  |  |__ plat1
  |    |__ data
  |      |__ dual_rp
  |        |__ cls = <class 'pkg.conn.ConnB'>
  |        |__ path = /opt/p/conn.py
  |__ beta
    |__ data
      |__ single_rp
        |__ cls = <class 'pkg.conn.ConnB'>
        |__ path = /opt/p/conn.py"""


ALPHA_ONLY_LINES = """
  |__ alpha
    |__ data
      |__ single_rp
        |__ cls = <class 'pkg.conn.ConnA'>
        |__ path = /opt/p/conn.py"""


class AlwaysEqual:
    """Truthy, yet equal to everything (an empty dict included)."""

    def __eq__(self, other):
        return True

    __hash__ = None


class BrokenStr:
    def __str__(self):
        raise LookupError("no text for this leaf")


# ---------------------------------------------------------------- print_tree


def test_three_key_registry_renders_exactly(manager):
    assert manager.print_tree(three_key_tree()) == THREE_KEY_TEXT


def test_empty_data_map_leaves_a_bare_connector(manager):
    assert manager.print_tree({"alpha": {"data": {}}}) == "plugin\n  |__ alpha\n    |"


@pytest.mark.parametrize("data", [None, {}, "", 0, False, [], AlwaysEqual()])
@pytest.mark.parametrize("output", ["plugin", None, 42])
def test_false_or_empty_data_renders_nothing(manager, data, output):
    assert manager.print_tree(data, output) == ""


@pytest.mark.parametrize(
    "data, output, expected",
    [
        (5, "x", "x = 5"),
        (ConnA, "__ cls", "__ cls = <class 'pkg.conn.ConnA'>"),
        ("two\nlines", "v", "v = two\nlines"),
        ({"k": "v"}, "root", "root\n  |__ k = v"),
    ],
)
def test_leaves_and_single_entries(manager, data, output, expected):
    assert manager.print_tree(data=data, output=output) == expected


def test_false_leaves_inside_a_dict_keep_only_their_connector(manager):
    tree = {"a": None, "b": "", "c": 0, "d": 7, "e": {}, "f": AlwaysEqual()}
    assert manager.print_tree(tree) == "plugin\n  |\n  |\n  |\n  |__ d = 7\n  |\n  |"


def test_multiline_leaf_lines_follow_the_child_prefix(manager):
    tree = {"b": "m1\nm2", "a": "l1\nl2\n"}
    assert manager.print_tree(tree) == "plugin\n  |__ a = l1\n  |l2\n  |\n  |__ b = m1\n  m2"


def test_keys_sorted_by_code_point(manager):
    tree = {"data": 1, "b": 2, "a": 3, "Z": 4, "B": 5, "_": 6, "é": 7, "core": 8}
    lines = manager.print_tree(tree).split("\n")[1:]
    assert [line[6:].split(" = ")[0] for line in lines] == [
        "B",
        "Z",
        "_",
        "a",
        "b",
        "core",
        "data",
        "é",
    ]


def renders_as_the_reference(manager, tree):
    text, expected = manager.print_tree(tree), reference_tree(tree)
    return text == expected and text.isascii() == expected.isascii()


@pytest.mark.parametrize(
    "keys",
    [
        ["ab", "a", "abc", "b", ""],
        ["é", "z", "\x7f", "\x80", "ÿ"],
        ["a\x00", "a", "a\x00b", "\x00"],
        ["ā", "é", "z", "😀", "中", "\uffff", "𝄞"],
        ["āb", "ā", "Ā", "āa"],
        ["😀b", "😀", "😀a", "😁"],
        [f"platform_{i:03d}" for i in (10, 2, 100, 1)],
        [f"m{i}" for i in range(100)],
    ],
)
def test_keys_of_any_width_sorted_by_code_point(manager, keys):
    tree = dict.fromkeys(reversed(keys), 1)
    assert manager.print_tree(tree) == "plugin" + "".join(f"\n  |__ {k} = 1" for k in sorted(keys))


def without(tree, *removed):
    for key in removed:
        del tree[key]
    return tree


@pytest.mark.parametrize(
    "make_tree",
    [
        lambda: without({"a": 1, "b": 2, "c": {"x": "y"}}, "a"),
        lambda: {
            "n": without({f"k{i}": i for i in range(20)}, *[f"k{i}" for i in range(0, 20, 2)])
        },
        lambda: {"n": without({"b": 1, "a": 2}, "b") | {"b": 3}},
        lambda: without({1: "int key", "b": {"c": 1}, "a": "x"}, 1),
        lambda: {"d": without({"x": 1}, "x"), "e": "kept"},
    ],
    ids=["first", "every other", "deleted then added", "after a non-str key", "all"],
)
def test_dicts_with_deleted_entries_render_what_they_hold(manager, make_tree):
    assert renders_as_the_reference(manager, make_tree())


class Text(str):
    pass


CLASSES = {
    "one line": type("Conn", (), {"__module__": "pkg.conn"}),
    "module with a line break": type("Conn", (), {"__module__": "pkg\nconn"}),
    "qualname with a line break": type(
        "Conn", (), {"__module__": "pkg", "__qualname__": "Outer\nConn"}
    ),
    "wide module": type("Conn", (), {"__module__": "pkg.ū"}),
    "builtins": type("Conn", (), {"__module__": "builtins"}),
    "builtins as a str subclass": type("Conn", (), {"__module__": Text("builtins")}),
}


@pytest.mark.parametrize("cls", CLASSES.values(), ids=CLASSES)
def test_leaves_of_one_class_render_alike_wherever_they_are(manager, cls):
    tree = {"a": cls, "b": {"c": cls, "d": {"e": cls}}, "f": ConnA, "g": cls, "h": {"i": cls}}
    assert renders_as_the_reference(manager, tree | {"z": cls})


@pytest.mark.parametrize("length", [1, 30, 31, 32, 33, 100])
@pytest.mark.parametrize("char", ["x", "é", "ā", "😀"])
def test_line_breaks_found_in_texts_of_any_length(manager, length, char):
    text = char * length
    values = {"a": text + "\n", "b": "\n" + text, "c": text + "\n" + text, "z": text}
    tree = {"k" + text: values, "m\n" + text: {text + "\nk": 1}, "z": values}
    assert renders_as_the_reference(manager, tree)


def test_rendering_changes_and_prints_nothing(manager, capsys):
    tree = three_key_tree()
    before = copy.deepcopy(tree)
    manager.print_tree(tree)
    assert tree == before and list(tree["alpha"]) == ["plat1", "data"]
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "data, output",
    [
        ({1: "a"}, "p"),
        ({"a": 1, 2: "b"}, "p"),
        ({"a": {None: 1}}, "p"),
        ({("t",): 1}, "p"),
        ({"k": 1}, None),
        (5, None),
    ],
)
def test_non_str_keys_or_output_raise_type_error(manager, data, output):
    with pytest.raises(TypeError):
        manager.print_tree(data, output)


@pytest.mark.parametrize("tree", [BrokenStr(), {"a": 1, "b": {"c": BrokenStr()}}])
def test_exception_from_leaf_str_propagates(manager, tree):
    with pytest.raises(LookupError, match="no text for this leaf"):
        manager.print_tree(tree)


def test_subclass_override_renders_every_child():
    calls = []

    class Tagged(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, dict(kwargs)))
            data, output = args or (kwargs["data"], kwargs["output"])
            if output == "__ bad":
                raise KeyError("bad child")
            if isinstance(data, dict):
                return super().print_tree(data, output)
            return f"{output} -> {data!r}"

    tree = {"b": {"x": 1}, "a": "s"}
    assert Tagged().print_tree(tree, "top") == "top\n  |__ a -> 's'\n  |__ b\n    |__ x -> 1"
    assert calls[0] == ((tree, "top"), {})
    # Children go through the override, by keyword only.
    assert [(args, list(kw), kw["output"]) for args, kw in calls[1:]] == [
        ((), ["data", "output"], "__ a"),
        ((), ["data", "output"], "__ b"),
        ((), ["data", "output"], "__ x"),
    ]
    with pytest.raises(KeyError, match="bad child"):
        Tagged().print_tree({"good": 1, "bad": 2}, "top")


def test_ten_thousand_records(manager):
    cls = type("Conn", (), {"__module__": "pkg.conn"})
    tree = {f"os{i:05d}": {"data": {"single_rp": record(cls, "/p.py")}} for i in range(10_000)}
    lines = manager.print_tree(tree).split("\n")
    assert len(lines) == 1 + 5 * 10_000
    assert lines[:6] == [
        "plugin",
        "  |__ os00000",
        "  |  |__ data",
        "  |    |__ single_rp",
        "  |      |__ cls = <class 'pkg.conn.Conn'>",
        "  |      |__ path = /p.py",
    ]
    assert lines[-5:] == [
        "  |__ os09999",
        "    |__ data",
        "      |__ single_rp",
        "        |__ cls = <class 'pkg.conn.Conn'>",
        "        |__ path = /p.py",
    ]


def test_very_deep_nesting_raises_recursion_error_without_crashing(run_python):
    proc = run_python(
        """
        from telvar.core.pluginmanager import PluginManager
        tree = {"leaf": 1}
        for _ in range(100_000):
            tree = {"k": tree}
        m = PluginManager()
        try:
            m.print_tree(tree)
        except RecursionError:
            print("RecursionError")
        print(repr(m.print_tree({"k": {"j": 1}})))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["RecursionError", repr("plugin\n  |__ k\n    |__ j = 1")]


@pytest.mark.parametrize("node", [dict, type("Node", (dict,), {})], ids=["plain", "subclass"])
def test_the_recursion_limit_is_exact_at_every_call(node):
    """At limit N, print_tree renders N nested levels (the outermost call counts none, each
    nested call one) and refuses N + 1; repr makes one call more. So on every call, also after
    a refused one."""

    def nested(levels):
        tree = 1
        for _ in range(levels):
            tree = node(k=tree)
        return tree

    def outcomes(limit):
        m, seen = PluginManager(), []
        for render, levels in [(m.print_tree, limit), (repr, limit - 1)] * 2:
            for extra in (0, 1, 0):
                m.plugins.clear()
                m.plugins.update(nested(levels + extra))
                try:
                    seen.append(bool(render(m.plugins if render == m.print_tree else m)))
                except RecursionError:
                    seen.append("RecursionError")
        assert seen == [True, "RecursionError", True] * 4

    assert in_child(lambda: outcomes(300), limit=300) == "ok"


# ---------------------------------------------------------------------- repr


def test_repr_of_empty_manager_is_empty(manager):
    assert repr(manager) == "" == str(manager)


def test_repr_is_summary_line_then_tree():
    first, second = PluginManager(), PluginManager()
    for m in (first, second):
        m.plugins["alpha"] = {"data": {"single_rp": record(ConnA)}}
    head = f"plugins (<class 'telvar.core.pluginmanager.PluginManager'> at {hex(id(first))}) "
    assert repr(first) == str(first) == head + ALPHA_ONLY_LINES
    assert repr(second).replace(hex(id(second)), "ID") == repr(first).replace(hex(id(first)), "ID")


def test_repr_of_a_registered_class(manager):
    class LocalConnection:
        pass

    manager.register_plugin(LocalConnection, os="alpha")
    assert repr(manager) == f"plugins ({PluginManager} at {hex(id(manager))}) " + (
        f"\n  |__ alpha\n    |__ data\n      |__ single_rp\n        |__ cls = {LocalConnection}"
        f"\n        |__ path = {inspect.getfile(LocalConnection)}"
    )


def test_repr_of_subclass_uses_its_print_tree_with_keywords():
    calls = []

    class Mine(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, list(kwargs), kwargs))
            return super().print_tree(kwargs["data"], kwargs["output"])

        @property
        def plugins(self):  # repr must read _plugins, not this
            return {"decoy": 1}

    m = Mine()
    m._plugins["alpha"] = {"data": {"single_rp": record(ConnA)}}
    head = f"plugins (<class '{__name__}.{Mine.__qualname__}'> at {hex(id(m))}) "
    assert repr(m) == head + ALPHA_ONLY_LINES
    args, order, kwargs = calls[0]
    assert args == () and order == ["data", "output"]
    assert kwargs["data"] is m._plugins and kwargs["output"] == head
    assert len(calls) == 6  # the top call, then alpha, data, single_rp, cls, path


def test_repr_without_init_raises_attribute_error():
    with pytest.raises(AttributeError):
        repr(PluginManager.__new__(PluginManager))


# ------------------------------------------------------------------ deep trees of odd keys


KEYS = {
    "str": "k",
    "str_enum": enum.StrEnum("Key", {"K": "k"}).K,
    "str_subclass": type("Name", (str,), {})("k"),
    "radd": type("Name", (str,), {"__radd__": lambda self, other: str.__add__(other, self)})("k"),
    "radd_self_type": type(
        "Name", (str,), {"__radd__": lambda self, other: type(self)(str.__add__(other, self))}
    )("k"),
}


def chain(key, depth):
    tree = "x"
    for _ in range(depth):
        tree = {key: tree}
    return tree


class TestDeepTrees:
    """Deep chains of odd str keys render as the rule, or raise RecursionError, in a bounded
    child."""

    @pytest.mark.parametrize("depth", [300, 6_000, 100_000])
    @pytest.mark.parametrize("key", KEYS.values(), ids=KEYS)
    def test_deep_tree_renders_as_the_rule_or_raises_recursion_error(self, manager, key, depth):
        manager.plugins[key] = chain(key, depth)
        head = f"plugins ({PluginManager} at {hex(id(manager))}) "

        def render():
            for text, output in [
                (lambda: manager.print_tree(manager.plugins), "plugin"),
                (lambda: repr(manager), head),
            ]:
                if depth > 1_000:
                    with pytest.raises(RecursionError):
                        text()
                else:
                    assert text() == reference_tree(manager.plugins, output)
            assert manager.print_tree({"k": {"j": 1}}) == "plugin\n  |__ k\n    |__ j = 1"

        assert in_child(render, limit=3_000) == "ok"


# ------------------------------------------------------- shortcuts against the general path


class Node(dict):
    """A registry node that counts its keys() calls."""

    calls = 0

    def keys(self):
        Node.calls += 1
        return super().keys()


def wrapped(tree):
    """The same tree made of dict subclasses with str-subclass keys and values."""
    if isinstance(tree, dict):
        return Node({Text(k): wrapped(v) for k, v in tree.items()})
    return Text(tree) if isinstance(tree, str) else tree


TREES = [
    {"alpha": {"data": {"single_rp": {"cls": ConnA, "path": "/p/conn.py"}}}},
    {"b": {"€uro": "x\ny", "a": "é"}, "a": 1, "😀": {"k": None}, "Z": {}},
    {"a": {"b": {"c": {"d": "\n\n"}}}, "e": "", "f": 0, "g": {"data": {}}},
    {"line\nbreak": {"k": "v"}, "ß": "ǅ"},
]


class TestShortcuts:
    """Plain dicts, exact str values and the manager's own print_tree are served by shortcuts;
    dict and str subclasses and overriding methods take the general path. Both give the same."""

    @pytest.mark.parametrize("tree", TREES)
    @pytest.mark.parametrize("output", ["plugin", "", "é\nx"])
    def test_rendering_matches_reference_on_every_path(self, pm, tree, output):
        class Overriding(pm.PluginManager):
            def print_tree(self, data, output="plugin"):
                return super().print_tree(data, output)

        expected = reference_tree(tree, output)
        assert pm.PluginManager().print_tree(tree, output) == expected
        assert pm.PluginManager().print_tree(wrapped(tree), Text(output)) == expected
        assert Overriding().print_tree(tree, output) == expected

    def test_rebinding_print_tree_during_a_rendering_is_honoured(self, pm):
        class Leaf:
            def __str__(self):
                Manager.print_tree = lambda self, data, output="plugin": "X"
                return "leaf"

        class Manager(pm.PluginManager):
            pass

        text = Manager().print_tree({"a": Leaf(), "b": "kept", "c": {"d": 1}})
        assert text == "plugin\n  |__ a = leaf\n  |X\n  |X"

    def test_instance_attribute_print_tree_renders_children(self, pm, manager):
        manager.print_tree = lambda data, output: "<" + output + ">"
        assert (
            pm.PluginManager.print_tree(manager, {"a": 1, "b": 2}) == "plugin\n  |<__ a>\n  |<__ b>"
        )


def test_repr_as_print_tree_ends_in_recursion_error():
    m = looping(print_tree=property(PluginManager.__repr__))()
    m.plugins["alpha"] = {"data": {"single_rp": {"cls": ConnA, "path": "p"}}}
    assert in_child(lambda: repr(m), limit=200).startswith("RecursionError")
