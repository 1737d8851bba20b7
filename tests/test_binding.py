"""Argument binding of the PluginManager functions: accepted forms and exact TypeError texts."""

import pytest
from helpers import vectorcall

from telvar.core.pluginmanager import PluginManager as PM

BINDING_ERRORS = [  # (call on a manager m, expected message)
    (lambda m: PM(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda m: PM(x=1), "__init__() got an unexpected keyword argument 'x'"),
    (lambda m: PM.__init__(), "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda m: m.validate_os(), "validate_os() takes exactly 2 positional arguments (1 given)"),
    (
        lambda m: m.validate_chassis_type(1, 2),
        "validate_chassis_type() takes exactly 2 positional arguments (3 given)",
    ),
    (
        lambda m: m.validate_model("a"),
        "validate_model() takes exactly 4 positional arguments (2 given)",
    ),
    (
        lambda m: m.validate_model(os="a", model="b"),
        "validate_model() takes exactly 4 positional arguments (2 given)",
    ),
    (
        lambda m: m.validate_model(model="b", platform="p"),
        "validate_model() takes exactly 4 positional arguments (1 given)",
    ),
    (
        lambda m: m.validate_arguments(1, 2, 3, 4, 5),
        "validate_arguments() takes exactly 5 positional arguments (6 given)",
    ),
    (
        lambda m: m.get_plugin(1, 2, 3, 4, 5, 6),
        "get_plugin() takes at most 6 positional arguments (7 given)",
    ),
    (lambda m: PM.get_plugin(), "get_plugin() takes at least 1 positional argument (0 given)"),
    (
        lambda m: PM.get_plugin(os="a"),
        "get_plugin() takes at least 1 positional argument (0 given)",
    ),
    (
        lambda m: m.unregister_plugin(*"abcdef"),
        "unregister_plugin() takes at most 6 positional arguments (7 given)",
    ),
    (
        lambda m: m.register_plugin(),
        "register_plugin() takes at least 2 positional arguments (1 given)",
    ),
    (
        lambda m: m.register_plugin(os="a"),
        "register_plugin() takes at least 2 positional arguments (1 given)",
    ),
    (
        lambda m: m.register_plugin(*"abcdefg"),
        "register_plugin() takes at most 7 positional arguments (8 given)",
    ),
    (
        lambda m: m.print_tree(output="x"),
        "print_tree() takes at least 2 positional arguments (1 given)",
    ),
    (
        lambda m: m.print_tree({}, "x", 1),
        "print_tree() takes at most 3 positional arguments (4 given)",
    ),
    (lambda m: m.__repr__(1), "__repr__() takes exactly 1 positional argument (2 given)"),
    (lambda m: PM.plugins.fget(m, 1), "plugins() takes exactly 1 positional argument (2 given)"),
    (lambda m: PM.plugins.fset(m), "plugins() takes exactly 2 positional arguments (1 given)"),
    (lambda m: m.get_plugin(foo=1), "get_plugin() got an unexpected keyword argument 'foo'"),
    (
        lambda m: m.validate_os(os="a", chassis_type="b"),
        "validate_os() got an unexpected keyword argument 'chassis_type'",
    ),
    (
        lambda m: m.get_plugin("a", os="a"),
        "get_plugin() got multiple values for keyword argument 'os'",
    ),
    (
        lambda m: m.get_plugin(self=m),
        "get_plugin() got multiple values for keyword argument 'self'",
    ),
    (
        lambda m: m.register_plugin(object, cls=object),
        "register_plugin() got multiple values for keyword argument 'cls'",
    ),
    (
        lambda m: PM.discover_builtin_plugins(1),
        "discover_builtin_plugins() takes no arguments (1 given)",
    ),
    (
        lambda m: m.discover_external_plugins(1, 2),
        "discover_external_plugins() takes no arguments (2 given)",
    ),
    (
        lambda m: PM.discover_external_plugins(x=1),
        "discover_external_plugins() takes no keyword arguments",
    ),
    (
        lambda m: m.discover_builtin_plugins(group="x"),
        "discover_builtin_plugins() takes no keyword arguments",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_error_message(manager, call, message):
    registry = manager.plugins
    with pytest.raises(TypeError) as info:
        call(manager)
    assert type(info.value) is TypeError and str(info.value) == message
    assert manager.plugins is registry and registry == {}  # the body never ran


def test_keywords_bind_by_name(manager):
    registry = manager.plugins
    assert PM.plugins.fget(self=manager) is registry
    with pytest.raises(Exception) as info:
        PM.plugins.fset(value=None, self=manager)
    assert info.value.args == (" Protected Member, cannot modify Plugins",)
    assert PM.__init__(self=manager) is None
    assert manager.plugins == {} and manager.plugins is not registry


@pytest.mark.parametrize(
    "func, message",
    [
        (PM.get_plugin, "get_plugin() keywords must be strings"),
        (PM.__init__, "__init__() keywords must be strings"),
        (PM.plugins.fset, "plugins() keywords must be strings"),
        (PM.discover_builtin_plugins, "discover_builtin_plugins() takes no keyword arguments"),
    ],
)
def test_non_str_keyword(manager, func, message):
    assert vectorcall(PM.plugins.fget, [], ("self",), [manager]) is manager.plugins
    positional = [] if func is PM.discover_builtin_plugins else [manager]
    with pytest.raises(TypeError) as info:
        vectorcall(func, positional, (1,), ["alpha"])
    assert str(info.value) == message
    assert manager.plugins == {}
