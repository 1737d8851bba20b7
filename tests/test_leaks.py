"""Repeated construction, binding and every public operation keep memory and refcounts flat."""

import gc
import sys

import pytest
from helpers import vectorcall

import telvar.plugins
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager as PM


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
    }


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except Exception as exc:  # only the failures these calls are meant to raise
            assert type(exc) in (TypeError, Exception), exc


@pytest.fixture
def token():
    return "".join(["leak", "-", "token"])


@pytest.mark.parametrize("name", list(calls(None, None)))
def test_memory_flat(manager, token, name):
    call = calls(manager, token)[name]
    deltas = []
    for _ in range(5):
        gc.collect()
        before = sys.getallocatedblocks()
        repeat(call, 20_000)
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert max(deltas[2:]) < 64, deltas  # a leak of one block per call would show as 20000


def test_refcounts_restored(manager, token):
    todo = calls(manager, token)
    watched = [
        token,
        manager,
        PM.get_plugin,
        telvar.plugins.supported_os,
        telvar.plugins.supported_chassis,
    ]
    before = [sys.getrefcount(obj) for obj in watched]
    for call in todo.values():
        repeat(call, 1_000)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


CIE = ConnectionInfraError


class LeakA:
    pass


class LeakB:
    pass


class FakeEntryPoint:
    def __init__(self, name, fails=False):
        self.name, self.module_name, self.fails = name, "telvar.plugins", fails

    def load(self):
        if self.fails:
            raise ImportError(self.name)


def every_operation(m):
    """Each public operation, succeeding and in each way of failing, with the error it raises."""
    deep = dict(os="alpha", platform="p1", model="m1", os_flavor="f1")
    return [
        (None, lambda: m.register_plugin(LeakA, **deep)),
        (None, lambda: m.register_plugin(LeakB, **deep)),  # replaces, with a debug record
        (None, lambda: m.register_plugin(LeakA, os="gamma", chassis_type="dual_rp")),  # unknown OS
        (None, lambda: m.register_plugin(LeakB, "linux", "p1", chassis_type="any")),
        (CIE, lambda: m.register_plugin(LeakA, os=None)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", model="m1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="p1", model=7)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="p1", model="M1")),
        (CIE, lambda: m.register_plugin(LeakA, platform="p1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform=1)),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="P1")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", chassis_type="bogus")),
        (CIE, lambda: m.register_plugin(LeakA, os="alpha", platform="data")),
        (TypeError, lambda: m.register_plugin(LeakA, os="alpha", platform="p2", os_flavor=[])),
        (TypeError, lambda: m.register_plugin(int, os="alpha", platform="p2", model="m2")),
        (None, lambda: m.get_plugin(**deep)),
        (None, lambda: m.get_plugin(os="gamma", platform="p5", chassis_type="dual_rp")),
        (CIE, lambda: m.get_plugin(os="alpha", platform="p1")),
        (TypeError, lambda: m.get_plugin(os="alpha", os_flavor=3)),  # the message cannot be joined
        (TypeError, lambda: m.get_plugin(os="alpha", os_flavor=[])),
        (CIE, lambda: m.get_plugin(os="")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="P1")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p9")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p1")),
        (CIE, lambda: m.unregister_plugin(os="alpha", platform="p1", chassis_type="single_rp")),
        (CIE, lambda: m.unregister_plugin(**deep, chassis_type="stack")),
        (None, lambda: m.unregister_plugin(**deep, chassis_type="single_rp")),
        (None, lambda: m.unregister_plugin(os="gamma")),
        (TypeError, lambda: m.unregister_plugin(os="alpha", os_flavor=[])),
        (None, lambda: m.validate_arguments("gamma", "p1", "m1", "stack")),
        (CIE, lambda: m.validate_arguments("alpha", None, None, None)),
        (CIE, lambda: m.validate_model(os="alpha", platform="p1", model="M1")),
        (CIE, lambda: m.validate_platform(os=None, platform="p1")),
        (CIE, lambda: m.validate_os(os="")),
        (None, lambda: m.validate_chassis_type(chassis_type="dual_rp")),
        (None, lambda: m.print_tree(m.plugins)),
        (None, lambda: m.print_tree({"b": {"x": None, "y": "1\n2"}, "a": "ünï"}, output="top")),
        (TypeError, lambda: m.print_tree({1: {}, "a": 2})),  # unorderable keys
        (TypeError, lambda: m.print_tree({"a": LeakA}, output=None)),
        (None, lambda: repr(m)),
        (None, PM.discover_builtin_plugins),
        (ImportError, PM.discover_external_plugins),
    ]


def run(operations):
    outcomes = []
    for _, operation in operations:
        try:
            operation()
            outcomes.append(None)
        except Exception as exc:
            outcomes.append(type(exc))
    return outcomes


def test_every_operation_keeps_memory_and_refcounts_flat(pm, monkeypatch):
    entry_points = [FakeEntryPoint("good"), FakeEntryPoint("bad", fails=True)]
    monkeypatch.setattr(pm, "iter_entry_points", lambda group: iter(entry_points))
    gc.collect()
    refcounts = [sys.getrefcount(LeakA), sys.getrefcount(LeakB)]
    m = PM()
    operations = every_operation(m)
    expected = [error for error, _ in operations]
    assert run(operations) == expected
    deltas = []
    for _ in range(5):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(300):
            assert run(operations) == expected
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert max(deltas[2:]) < 64, deltas  # a leak of one block per operation would show as 300
    m.unregister_plugin("linux", "p1")  # the last record left
    gc.collect()
    assert [sys.getrefcount(LeakA), sys.getrefcount(LeakB)] == refcounts
    del m, operations
    gc.collect()
    assert [sys.getrefcount(LeakA), sys.getrefcount(LeakB)] == refcounts
