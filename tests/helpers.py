"""Helpers shared by several test modules."""

import copy
import ctypes
import inspect
import os
import re
import signal
import sys

import pytest
from reference import ReferenceManager

from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

# A module of tests each run in a forked child, so that a crash fails that test alone; where
# there is no fork, the module is skipped.
forked = (
    pytest.mark.forked
    if hasattr(os, "fork")
    else pytest.mark.skip(reason="each test runs in a forked child")
)

# PyObject_Vectorcall itself: lets a test pass keyword names that Python
# source cannot spell (non-str ones).
_vectorcall = ctypes.PYFUNCTYPE(
    ctypes.py_object,
    ctypes.py_object,
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_size_t,
    ctypes.py_object,
)(("PyObject_Vectorcall", ctypes.pythonapi))


class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


class Conn:
    pass


def vectorcall(func, positional, kwnames, values):
    """Call func as the interpreter does, with any keyword names."""
    items = list(positional) + list(values)
    return _vectorcall(
        func, (ctypes.py_object * len(items))(*items), len(positional), tuple(kwnames)
    )


def reference_tree(data, output="plugin"):
    """The tree rendering of the plain-Python reference manager."""
    return ReferenceManager().print_tree(data, output)


def record(cls):
    """The record registration files for cls."""
    return {"cls": cls, "path": inspect.getfile(cls)}


def not_interned(text):
    return "".join(list(text))  # an equal str that is not the interned one


def whole(message):
    """A match pattern for exactly this message."""
    return "^%s$" % re.escape(message)


def refused(call, *args, **kwargs):
    """The one argument of the ConnectionInfraError that call(*args, **kwargs) raises."""
    with pytest.raises(ConnectionInfraError) as exc:
        call(*args, **kwargs)
    assert type(exc.value) is ConnectionInfraError and len(exc.value.args) == 1
    return exc.value.args[0]


def not_found(path, chassis_type="single_rp"):
    """The message of a lookup that found nothing."""
    return "Plugin data not found for (%s), type: %s " % (path, chassis_type)


def walk(node, path=()):
    """Every dict of a tree (records included) with its key path, in key order."""
    yield path, node
    for key, value in node.items():
        if isinstance(value, dict):
            yield from walk(value, path + (key,))


def freeze(manager):
    """A check that the registry still equals its present state, key order and node identity included."""
    before, nodes = copy.deepcopy(manager.plugins), list(walk(manager.plugins))

    def check():
        assert manager.plugins == before
        assert [(p, id(n)) for p, n in walk(manager.plugins)] == [(p, id(n)) for p, n in nodes]

    return check


def looping(**attributes):
    """A PluginManager subclass with the given class attributes (one of the module's own
    functions put where another is called, so that the two call each other)."""
    return type("Looping", (PluginManager,), attributes)


def in_child(call, limit=None):
    """call() in a forked child bounded in time and memory: "ok" or "<Type>: <message>"."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the bounded child needs fork, resource limits and /proc")
    import resource

    read, write = os.pipe()
    if (pid := os.fork()) == 0:  # pragma: no cover - the child
        os.close(read)
        signal.alarm(30)
        with open("/proc/self/statm") as statm:
            pages = int(statm.read().split()[0])
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (2 << 30), hard))
        try:
            sys.setrecursionlimit(limit or sys.getrecursionlimit())
            call()
            outcome = "ok"
        except BaseException as exc:
            outcome = f"{type(exc).__name__}: {str(exc)[:2000]}"
        os.write(write, outcome.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        outcome = pipe.read()
    status = os.waitpid(pid, 0)[1]
    assert not os.WIFSIGNALED(status), f"the child died of signal {os.WTERMSIG(status)}"
    assert status == 0 and outcome, f"the child exited with status {status}"
    return outcome
