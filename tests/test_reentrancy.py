"""Python code that runs in the middle of an operation: nothing read before it is trusted after.

Each scenario runs Python code at a point inside the module (a dict look-up that compares a
str-subclass key, the release of a keyword tuple, an import that is still running) and checks
the result against what the interpreter or the plain-Python reference gives. Every test runs
in a forked child, so a crash fails that test alone; the sanitizer build runs them too.
"""

import pytest
import reference
from helpers import forked

from telvar.core.errors import ConnectionInfraError

pytestmark = forked


def colliding_key(text, target, action):
    """A str-subclass key that hashes as `target`, so that looking `target` up runs action()."""

    def eq(self, other):
        action()
        return str.__eq__(self, other)

    return type("Colliding", (str,), {"__hash__": lambda self: hash(target), "__eq__": eq})(text)


def rebind_module(manager, cls):
    # A new str each time, so that the one the class held is freed.
    return lambda: type.__setattr__(cls, "__module__", "".join(__name__))


def clear_tree(manager, cls):
    return lambda: manager.plugins.clear()


def replace_with_hostile_module(module, monkeypatch, manager, action_for):
    """Replaces a record by a class whose __module__ look-up runs Python code; the records logged."""
    records = []
    monkeypatch.setattr(module, "log", type("Log", (), {"debug": lambda s, m: records.append(m)})())
    manager.register_plugin(type("Old", (), {}), os="alpha")
    new = type("New", (), {"__module__": "".join(__name__)})
    setattr(new, colliding_key("zz", "__module__", action_for(manager, new)), 1)
    records.clear()
    manager.register_plugin(new, os="alpha")
    return records, manager.print_tree(manager.plugins)


@pytest.mark.parametrize("action_for", [rebind_module, clear_tree])
def test_replacement_message_after_python_code_in_the_module_lookup(pm, monkeypatch, action_for):
    native = replace_with_hostile_module(pm, monkeypatch, pm.PluginManager(), action_for)
    pure = replace_with_hostile_module(
        reference, monkeypatch, reference.ReferenceManager(), action_for
    )
    assert native == pure


def test_keyword_binding_is_whole_when_the_old_names_are_released(pm):
    """The release of the remembered keyword tuple calls the function again, through the same
    call site as the new binding but with the old positional count."""
    manager = pm.PluginManager()
    single, dual = type("Single", (), {}), type("Dual", (), {})
    manager.register_plugin(single, os="alpha")
    manager.register_plugin(dual, os="alpha", chassis_type="dual_rp")
    get_plugin = pm.PluginManager.get_plugin
    reentered = []

    def call_site(nargs, chassis_type):
        # One constant keyword tuple shared by two positional counts.
        if nargs == 2:
            return get_plugin(manager, "alpha", chassis_type=chassis_type)
        return get_plugin(manager, "alpha", None, chassis_type=chassis_type)

    class Keyword(str):
        def __del__(self):
            reentered.append(call_site(2, "dual_rp"))

    # Remembers a tuple that only the function owns, with two positional arguments.
    get_plugin(manager, "alpha", **{Keyword("chassis_type"): "single_rp"})
    assert call_site(3, "single_rp") is single
    assert reentered == [dual]


def shared_data_tree(key):
    data = {"single_rp": {"cls": int, "path": "p"}}
    return {key: data, "data": data}


@pytest.mark.parametrize("key_type", [str, type("Text", (str,), {})])
def test_the_node_data_map_is_not_walked_into_through_another_key(pm, key_type):
    """One dict stored as plugins["alpha"] and plugins["data"] stays the root's data map."""
    manager = pm.PluginManager()
    manager.plugins.update(shared_data_tree("alpha"))
    assert manager.get_plugin(os=key_type("alpha")) is int
    with pytest.raises(ConnectionInfraError, match=r"^Plugin data not found$"):
        manager.unregister_plugin(os=key_type("alpha"))


CIRCULAR = """
import telvar.plugins as plugins
del plugins.supported_chassis
plugins.__spec__._initializing = {initializing}
try:
    {statement}
except ImportError as error:
    print(repr(str(error)), error.name, error.name_from, error.path == plugins.__file__)
"""


@pytest.mark.parametrize("initializing", [True, False])
def test_from_import_errors_are_the_interpreters(run_python, initializing):
    """The module's own from-import fails as the interpreter's does: message and attributes."""

    def run(statement):
        result = run_python(CIRCULAR.format(initializing=initializing, statement=statement))
        assert result.returncode == 0, result.stderr
        return result.stdout

    native = run("import telvar.core.pluginmanager")
    assert native == run("from telvar.plugins import supported_chassis")
    assert ("partially initialized" in native) is initializing


def test_name_error_carries_the_name(pm, monkeypatch):
    monkeypatch.delattr(pm, "ConnectionInfraError")
    with pytest.raises(NameError, match=r"^name 'ConnectionInfraError' is not defined$") as caught:
        pm.PluginManager().validate_platform(None, "p1")
    assert caught.value.name == "ConnectionInfraError"
