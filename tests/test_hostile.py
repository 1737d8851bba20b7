"""Hostile callbacks and objects: the interpreter survives and the error reaches the caller.

Each scenario runs in a fresh interpreter, so a crash fails its test instead of the whole run.
In a scenario, expect(outcome, call, ...) prints PASS when the call's outcome ("ok <name>" or
"<ExceptionType>: <message>") starts with the given text, and FAIL otherwise; check(condition)
does the same for a condition.
"""

import textwrap

import pytest

PRELUDE = '''
import sys

from telvar.core import pluginmanager as pm


class Conn:
    __module__ = "telvar.core.errors"  # getfile needs a module with a file


class Boom:
    """Raises RuntimeError when called, hashed or truth-tested."""

    def __init__(self, what="boom"):
        self.what = what

    def __call__(self, *args, **kwargs):
        raise RuntimeError(self.what)

    __hash__ = __bool__ = __call__


def expect(outcome, call, *args, **kwargs):
    try:
        got = "ok %s" % getattr(call(*args, **kwargs), "__name__", None)
    except Exception as exc:
        got = "%s: %s" % (type(exc).__name__, exc)
    line = sys._getframe(1).f_lineno
    print("PASS" if got.startswith(outcome) else "FAIL line %d: %r, expected %r" % (line, got, outcome))


def check(condition):
    print("PASS" if condition else "FAIL line %d: check" % sys._getframe(1).f_lineno)


Unprintable = type("Unprintable", (), {"__str__": Boom()})


m = pm.PluginManager()
'''

EPILOGUE = """
print("tree", type(m.__dict__.get("_plugins")).__name__)
"""

SCENARIOS = {
    "node_keys": """
        def node(keys, **children):
            return type("Node", (dict,), {"keys": keys})(**children)
        record = {"data": {"single_rp": {"cls": Conn, "path": "x"}}}
        m.plugins["alpha"] = node(Boom("keys"))
        expect("RuntimeError: keys", m.register_plugin, Conn, os="alpha", platform="p1")
        expect("RuntimeError: keys", m.get_plugin, os="alpha", platform="p1")
        expect("RuntimeError: keys", m.unregister_plugin, os="alpha", platform="p1")
        check(dict(m.plugins["alpha"]) == {})
        m.plugins["alpha"] = node(lambda self: None)
        expect("TypeError", m.get_plugin, os="alpha", platform="p1")
        m.plugins["alpha"] = node(lambda self: ["p1", "data"])  # claims a child it does not hold
        expect("KeyError: 'p1'", m.register_plugin, Conn, os="alpha", platform="p1")
        expect("KeyError: 'p1'", m.get_plugin, os="alpha", platform="p1")
        expect("KeyError: 'p1'", m.unregister_plugin, os="alpha", platform="p1")
        check(dict(m.plugins["alpha"]) == {})
        def clearing(self):
            m.plugins.clear()
            return dict.keys(self)
        m.plugins["alpha"] = node(clearing)
        expect("ok None", m.register_plugin, Conn, os="alpha", platform="p1", model="m1")
        m.plugins["alpha"] = node(clearing, p1=record)
        expect("ok Conn", m.get_plugin, os="alpha", platform="p1", model="m1")
        m.plugins["alpha"] = node(clearing, p1={})
        expect("ConnectionInfraError: Plugin data not found", m.unregister_plugin, os="alpha", platform="p1")
        def replacing(self):
            m._plugins = {"fresh": {}}
            return dict.keys(self)
        m.plugins["alpha"] = node(replacing)
        expect("ok None", m.register_plugin, Conn, os="alpha", platform="p1", model="m1")
        m.plugins["alpha"] = node(replacing, p1=record)
        expect("ok Conn", m.get_plugin, os="alpha", platform="p1")
        check(m.plugins == {"fresh": {}})
    """,
    "path_element_hash_and_eq": """
        class SameHashAsData:
            def __init__(self, eq):
                self.eq = eq
            def __hash__(self):
                return hash("data")
            def __eq__(self, other):
                return self.eq()
        def clear():
            m.plugins.clear()
            return False
        m.register_plugin(Conn, os="alpha", platform="p1")
        before = repr(m.plugins)
        expect("RuntimeError: boom", m.register_plugin, Conn, os="alpha", platform="p2", os_flavor=Boom())
        expect("RuntimeError: boom", m.get_plugin, os="alpha", os_flavor=Boom())
        expect("RuntimeError: boom", m.unregister_plugin, os="alpha", os_flavor=Boom())
        for call in (m.register_plugin, m.get_plugin, m.unregister_plugin):
            args = (Conn,) if call == m.register_plugin else ()
            expect("RuntimeError: eq", call, *args, os="alpha", platform="p1", os_flavor=SameHashAsData(Boom("eq")))
        expect("RuntimeError: eq", m.get_plugin, os=SameHashAsData(Boom("eq")))
        check(repr(m.plugins) == before)
        expect("ok Conn", m.get_plugin, os="alpha", platform="p1", os_flavor=SameHashAsData(clear))
        m.register_plugin(Conn, os="alpha", platform="p1")
        expect("ConnectionInfraError: Plugin data not found", m.unregister_plugin, "alpha", "p1",
               os_flavor=SameHashAsData(clear))
        m.register_plugin(Conn, os="alpha", platform="p1")
        expect("ok None", m.register_plugin, Conn, os="alpha", platform="p1", os_flavor=SameHashAsData(clear))
    """,
    "case_tests_and_str": """
        def name(value, **methods):
            return type("Name", (str,), methods)(value)
        upper_ok = name("UPPER", islower=lambda self: [0])
        expect("ok None", m.validate_model, os="alpha", platform="p1", model=upper_ok)
        expect("ConnectionInfraError: platform (lower) has", m.validate_platform, "alpha",
               name("lower", islower=lambda self: (), isdigit=lambda self: ""))
        expect("RuntimeError: islower", m.validate_platform, "alpha", name("p1", islower=Boom("islower")))
        expect("RuntimeError: boom", m.validate_model, "alpha", "p1",
               name("m1", islower=lambda self: 0, isdigit=lambda self: Boom()))
        expect("RuntimeError: boom", m.validate_model, "alpha", "p1", name("M1", __str__=Boom()))
        expect("RuntimeError: boom", m.validate_model, None, "p1", Unprintable())
        expect("RuntimeError: boom", m.validate_platform, None, Unprintable())
        expect("RuntimeError: boom", m.validate_os, type("Zero", (int,), {"__str__": Boom()})(0))
        expect("RuntimeError: boom", m.validate_os, Unprintable())
        expect("RuntimeError: boom", m.validate_chassis_type, Unprintable())
        expect("RuntimeError: boom", m.get_plugin, os="linux", chassis_type=Unprintable())
        expect("ok None", m.register_plugin, Conn, os="alpha", platform=upper_ok)
        expect("RuntimeError: boom", m.unregister_plugin, os="alpha", platform=upper_ok, chassis_type=Unprintable())
        check(type(next(iter(m.plugins["alpha"]))).__name__ == "Name")
        m.supported_os = type("Names", (list,), {"__str__": Boom()})(["alpha"])
        expect("RuntimeError: boom", m.validate_os, "")
        m.supported_os = m.chassis_type_list = type("Names", (list,), {"__contains__": Boom()})(["linux"])
        expect("RuntimeError: boom", m.register_plugin, Conn, os="beta")
        expect("RuntimeError: boom", m.validate_arguments, "linux", None, None, None)
        expect("ConnectionInfraError: chassis Type should be one of these ['linux'], but got ",
               m.validate_chassis_type, "")
    """,
    "logger_and_module_globals": """
        m.register_plugin(Conn, os="alpha", platform="p1")
        before = repr(m.plugins)
        pm.log = type("Log", (), {"debug": Boom("debug")})()
        expect("RuntimeError: debug", m.validate_os, "gamma")
        expect("RuntimeError: debug", m.register_plugin, Conn, os="alpha", platform="p1")
        check(repr(m.plugins) == before)
        pm.log = type("Log", (), {"debug": lambda self, text: m.plugins.clear()})()
        expect("ok None", m.register_plugin, Conn, os="alpha", platform="p1")
        expect("ok None", m.register_plugin, Conn, os="gamma")
        check(list(m.plugins) == ["gamma"])
        pm.log = type("Log", (), {"debug": lambda self, text: setattr(m, "_plugins", {})})()
        expect("ok None", m.register_plugin, Conn, os="gamma")
        expect("ok None", m.register_plugin, Conn, os="linux", platform="p1")
        expect("ok None", m.register_plugin, Conn, os="linux", platform="p1")
        def clearing_getfile(cls):
            m.plugins.clear()
            return "somewhere"
        pm.getfile = clearing_getfile
        expect("ok None", m.register_plugin, Conn, os="alpha", platform="p1", model="m1")
        pm.ConnectionInfraError = lambda message: 42
        expect("TypeError: exceptions must derive from BaseException", m.validate_os, None)
        del pm.ConnectionInfraError
        expect("NameError: name 'ConnectionInfraError' is not defined", m.get_plugin, os="linux", platform="p9")
    """,
    "malformed_records": """
        m.plugins["alpha"] = {"data": {"single_rp": {"cls": 5, "path": "x"}}}
        expect("AttributeError", m.register_plugin, Conn, os="alpha")
        m.plugins["beta"] = {"data": {"single_rp": {}}}
        expect("KeyError: 'cls'", m.register_plugin, Conn, os="beta")
        expect("KeyError: 'cls'", m.get_plugin, os="beta")
        m.plugins["gamma"] = {"data": ["single_rp"]}
        expect("TypeError", m.register_plugin, Conn, os="gamma")
        expect("TypeError", m.get_plugin, os="gamma")
        expect("TypeError", m.unregister_plugin, os="gamma", chassis_type="single_rp")
        m.plugins["linux"] = {"data": None}
        expect("TypeError", m.get_plugin, os="linux")
        check(m.plugins["alpha"]["data"]["single_rp"]["cls"] == 5)
    """,
    "validator_overrides": """
        class Clearing(pm.PluginManager):
            def validate_os(self, os):
                self.plugins.clear()
        c = Clearing()
        c.register_plugin(Conn, os="alpha")
        c.register_plugin(Conn, os="beta")
        check(list(c.plugins) == ["beta"])
        expect("ConnectionInfraError: Plugin data not found for (beta), type: single_rp", c.get_plugin, os="beta")
        c.register_plugin(Conn, os="beta")
        expect("ConnectionInfraError: Plugin data not found", c.unregister_plugin, os="beta")
        for value in (None, ["not", "a", "dict"]):
            def gate(self, *args, value=value):
                if value is None:
                    self.__dict__.pop("_plugins", None)
                else:
                    self._plugins = value
            g = type("Gate", (pm.PluginManager,), {"validate_arguments": gate})()
            expect("AttributeError", g.register_plugin, Conn, "alpha")
            expect("AttributeError", g.get_plugin, "alpha")
            expect("AttributeError", g.unregister_plugin, "alpha")
    """,
}


@pytest.mark.parametrize("body", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_hostile_scenario(run_python, body):
    proc = run_python(PRELUDE + textwrap.dedent(body) + EPILOGUE)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert [line for line in lines if line.startswith("FAIL")] == []
    assert "PASS" in lines
    assert lines[-1] == "tree dict"
