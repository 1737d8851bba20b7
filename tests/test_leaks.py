"""Repeated construction, property access and argument binding keep memory and refcounts flat."""

import ctypes
import gc
import sys

import pytest

import telvar.plugins
from telvar.core.pluginmanager import PluginManager as PM

_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                ctypes.c_size_t, ctypes.py_object)(("PyObject_Vectorcall", ctypes.pythonapi))


def calls(m, token):
    """Succeeding and failing calls, each handed the token somewhere."""
    non_str = (ctypes.py_object * 2)(m, token)
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
        "non_str_keyword": lambda: _vectorcall(PM.get_plugin, non_str, 1, (1,)),
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
    watched = [token, manager, PM.get_plugin, telvar.plugins.supported_os, telvar.plugins.supported_chassis]
    before = [sys.getrefcount(obj) for obj in watched]
    for call in todo.values():
        repeat(call, 1_000)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
