"""Threads sharing one manager: no crash, no error but ConnectionInfraError, a well-formed tree."""

import inspect
import random
import sys
import threading
import time
import types

import pytest

from telvar.core import pluginmanager as pm
from telvar.core.errors import ConnectionInfraError


class ConnA:
    pass


class ConnB:
    pass


class Yielding(pm.PluginManager):
    def validate_os(self, os):
        time.sleep(0)  # lets the other threads run
        return super().validate_os(os)


def yielding_getfile(cls):
    time.sleep(0)  # between the walk of a registration and its store
    return inspect.getfile(cls)


WHERE = {
    "os": ["alpha", "beta", "linux", "gamma"],  # gamma is unsupported: a debug record each time
    "platform": [None, "p1", "p2"],
    "model": [None, "m1", "M1"],  # M1 is refused
    "os_flavor": [None, "f1"],
}
NAMES = {name for values in WHERE.values() for name in values} - {None}
CHASSIS = ["single_rp", "dual_rp", "stack"]
OPERATIONS = [
    lambda m, r, where, chassis: m.register_plugin(
        r.choice([ConnA, ConnB]), chassis_type=chassis, **where
    ),
    lambda m, r, where, chassis: m.get_plugin(chassis_type=chassis, **where),
    lambda m, r, where, chassis: m.unregister_plugin(
        chassis_type=r.choice([None, chassis]), **where
    ),
    lambda m, r, where, chassis: repr(m),
    lambda m, r, where, chassis: m.print_tree(m.plugins),
    lambda m, r, where, chassis: m.plugins.pop(where["os"], None),  # a caller editing the registry
]


def work(manager, seed, start, failures):
    r = random.Random(seed)
    start.wait()
    for _ in range(3000):
        where = {name: r.choice(values) for name, values in WHERE.items()}
        try:
            r.choice(OPERATIONS)(manager, r, where, r.choice(CHASSIS))
        except ConnectionInfraError:
            pass
        except BaseException as exc:  # anything else is the failure looked for
            failures.append(exc)
            return


def check_node(node):
    for key, value in node.items():
        assert type(value) is dict
        if key != "data":
            assert key in NAMES
            check_node(value)
            continue
        for chassis, record in value.items():
            assert chassis in CHASSIS and type(record) is dict and list(record) == ["cls", "path"]
            assert record["cls"] in (ConnA, ConnB) and record["path"] == inspect.getfile(ConnA)


@pytest.mark.parametrize("yielding", [False, True], ids=["plain", "yielding"])
def test_shared_manager(yielding, monkeypatch):
    if yielding:
        monkeypatch.setattr(pm, "getfile", yielding_getfile)
        monkeypatch.setattr(pm, "log", types.SimpleNamespace(debug=lambda text: time.sleep(0)))
    manager = Yielding() if yielding else pm.PluginManager()
    failures = []
    start = threading.Barrier(6)
    threads = [threading.Thread(target=work, args=(manager, n, start, failures)) for n in range(6)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    assert type(manager.plugins) is dict
    check_node(manager.plugins)
    manager.register_plugin(ConnB, os="alpha", platform="p9")
    assert manager.get_plugin(os="alpha", platform="p9", model="m9") is ConnB
