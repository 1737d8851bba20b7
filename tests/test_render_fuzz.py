"""Differential fuzzing of print_tree against the reference renderer: random trees with line
breaks in keys and leaves, characters of every width, str subclasses as keys, leaves and
output, and texts whose `+` runs Python code. The text, its type and every `+` made must be
the reference's."""

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from reference import ReferenceManager

from telvar.core.pluginmanager import PluginManager

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
    type("Wīde", (), {"__module__": "pkg\nū"}),
    type("Astral", (), {"__module__": "😀"}),
]

CHARS = list("ab_Z \n") + ["é", "ÿ", "ā", "中", "𝄞", "😀"]
texts = st.text(st.sampled_from(CHARS), max_size=6)
keys = st.one_of(texts, texts.map(Sub), texts.map(Adding))
leaves = st.one_of(
    texts,
    texts.map(leaf),
    texts.map(lambda text: leaf(Sub(text))),
    texts.map(lambda text: leaf(Adding(text))),
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
        result = ("text", text, type(text).__name__)
    except Exception as exc:  # the exception is the result compared
        result = (type(exc).__name__, str(exc))
    return result, list(LOG)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=trees, output=outputs, override=st.booleans())
@example(data={"": "ā\n"}, output=Adding(""), override=False)  # an empty rest of a wide text
def test_print_tree_renders_as_the_reference(data, output, override):
    native, reference = MANAGERS[override]
    assert rendered(native, data, output) == rendered(reference, data, output)
