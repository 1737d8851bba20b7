"""Argument binding of the PluginManager functions: accepted forms, exact TypeError texts, Python
code run while keywords are bound, and memory and reference counts across binding."""

import gc
import sys

import pytest
from helpers import forked, vectorcall

import telvar
import telvar.plugins
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


@forked
class TestReentrantRelease:
    """Python code run by the release of a keyword name that only the call owns."""

    def test_keyword_binding_is_whole_when_the_old_names_are_released(self, pm):
        """The release of a call's keyword names calls the function again, from a call site that
        shares one keyword tuple between two positional counts: each call binds on its own."""
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

        # A keyword name that only this call owns, released when the call returns.
        get_plugin(manager, "alpha", **{Keyword("chassis_type"): "single_rp"})
        assert call_site(3, "single_rp") is single
        assert reentered == [dual]


def calls(m, token):
    """Succeeding and failing calls, each handed the token somewhere."""
    return {
        "construct": PM,
        "get_plugins": lambda: m.plugins,
        "reinit": lambda: m.__init__(),
        "reinit_keyword": lambda: PM.__init__(self=m),
        "getter_keyword": lambda: PM.plugins.fget(self=m),
        "validate_keywords": lambda: m.validate_model(os=token, platform=token, model=None),
        "print_tree_keywords": lambda: m.print_tree(data=None, output=token),
        "set_plugins": lambda: setattr(m, "plugins", token),
        "construct_with_arg": lambda: PM(token),
        "too_many": lambda: m.get_plugin(token, token, token, token, token, token),
        "unexpected_keyword": lambda: m.get_plugin(os=token, platform=token, foo=token),
        "multiple_values": lambda: m.get_plugin(token, os=token),
        "missing_required": lambda: m.validate_model(os=token, model=token),
        "missing_cls": lambda: m.register_plugin(os=token, chassis_type=token),
        "setter_too_many": lambda: PM.plugins.fset(m, token, token),
        "static_positional": lambda: PM.discover_builtin_plugins(token),
        "static_keyword": lambda: PM.discover_external_plugins(x=token),
        "non_str_keyword": lambda: vectorcall(PM.get_plugin, [m], [1], [token]),
        "not_found_non_str_element": lambda: m.get_plugin(os="alpha", os_flavor=m),
    }


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except Exception as exc:  # only the failures these calls are meant to raise
            assert type(exc) in (TypeError, Exception), exc  # noqa: PT017


@pytest.fixture
def token():
    return "".join(["leak", "-", "token"])


class TestLeaks:
    """Repeated construction, binding and calls keep memory and reference counts flat."""

    @pytest.mark.parametrize("name", list(calls(None, None)))
    def test_memory_flat(self, manager, token, name):
        call = calls(manager, token)[name]
        deltas = []
        for _ in range(5):
            gc.collect()
            before = sys.getallocatedblocks()
            repeat(call, 20_000)
            gc.collect()
            deltas.append(sys.getallocatedblocks() - before)
        assert max(deltas[2:]) < 64, deltas  # a leak of one block per call would show as 20000

    def test_refcounts_restored(self, manager, token):
        todo = calls(manager, token)
        watched = [
            token,
            manager,
            PM.get_plugin,
            telvar.plugins.supported_os,
            telvar.plugins.supported_chassis,
        ]
        gc.collect()  # managers an earlier test left in cycles hold the lists too
        before = [sys.getrefcount(obj) for obj in watched]
        for call in todo.values():
            repeat(call, 1_000)
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == before
