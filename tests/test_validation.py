"""Field validators and the combined argument gate of PluginManager: messages, case rules,
call order, and validators and lists that run Python code."""

import logging
import types

import pytest
import reference
from helpers import forked, in_child, refused, whole
from hostile import Boom, Unprintable, logger, name
from recording import Flag, run, same_calls

from telvar.core import pluginmanager
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

OS_MSG = "OS should be one of these ['alpha', 'beta', 'linux'] , but got "
CHASSIS_MSG = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got "
NOT_SUPPORTED = "%s is not part of the built-in list of supported OSes."
VALIDATORS = ("validate_model", "validate_platform", "validate_os", "validate_chassis_type")


class ConnA:
    pass


@pytest.mark.parametrize(
    "method, kwargs, message",
    [
        (
            "validate_model",
            dict(os="alpha", platform="", model="m1"),
            "OS and platform are required for Model: m1",
        ),
        (
            "validate_model",
            dict(os="", platform="p1", model=7),
            "OS and platform are required for Model: 7",
        ),
        (
            "validate_model",
            dict(os=None, platform=None, model=("M",)),
            "OS and platform are required for Model: ('M',)",
        ),
        ("validate_model", dict(os="alpha", platform="p1", model=7), "Model should be of type str"),
        (
            "validate_model",
            dict(os="alpha", platform="p1", model="A%s"),
            " Model (A%s) has to be in lowecase",
        ),
        (
            "validate_platform",
            dict(os=None, platform=3),
            "OS information not provided for platform: 3",
        ),
        ("validate_platform", dict(os="alpha", platform=3), "platform should be of type str"),
        (
            "validate_platform",
            dict(os="alpha", platform="%D"),
            "platform (%D) has to be in lowercase",
        ),
        ("validate_os", dict(os=None), OS_MSG + "None"),
        ("validate_os", dict(os=""), OS_MSG),
        ("validate_os", dict(os=0), OS_MSG + "0"),
        ("validate_chassis_type", dict(chassis_type=None), CHASSIS_MSG + "None"),
        ("validate_chassis_type", dict(chassis_type=""), CHASSIS_MSG),
        ("validate_chassis_type", dict(chassis_type="Single_RP"), CHASSIS_MSG + "Single_RP"),
    ],
)
def test_refusal_messages(manager, method, kwargs, message):
    assert refused(getattr(manager, method), **kwargs) == message
    assert refused(getattr(manager, method), *kwargs.values()) == message


@pytest.mark.parametrize(
    "name, accepted",
    [
        ("m1", True),
        ("abc-1.2", True),
        ("12", True),
        ("a b", True),
        ("\u00e4rger", True),
        ("\u00b2", True),
        ("1.2", False),
        ("1-2", False),
        ("ABC", False),
        ("aBc", False),
        ("-", False),
        (" ", False),
        ("m\u00c4", False),
    ],
)
def test_lowercase_or_digits_rule(manager, name, accepted):
    if accepted:
        assert manager.validate_model(os="alpha", platform="p1", model=name) is None
        assert manager.validate_platform(os="alpha", platform=name) is None
    else:
        assert (
            refused(manager.validate_model, "alpha", "p1", name)
            == " Model (%s) has to be in lowecase" % name
        )
        assert (
            refused(manager.validate_platform, "alpha", name)
            == "platform (%s) has to be in lowercase" % name
        )


@pytest.mark.parametrize("falsy", [None, "", 0, False, []])
def test_absent_model_and_platform_and_falsy_os(manager, falsy):
    assert manager.validate_model(os=None, platform=None, model=falsy) is None
    assert manager.validate_platform(os=None, platform=falsy) is None
    if falsy is not None:  # only None counts as a missing OS for a platform
        assert manager.validate_platform(os=falsy, platform="p1") is None
        assert (
            refused(manager.validate_model, falsy, "p1", "m1")
            == "OS and platform are required for Model: m1"
        )


@pytest.mark.parametrize(
    "os, records",
    [
        ("alpha", []),
        ("linux", []),
        ("Alpha", ["Alpha"]),
        ("50%s %d", ["50%s %d"]),  # the value is substituted, never a template itself
        ("gämma", ["gämma"]),
        ("γάμμα\n", ["γάμμα\n"]),
        ("\U0001f600", ["\U0001f600"]),
        (name("sub"), ["sub"]),
        (name("sub", __str__=lambda self: "shown"), ["shown"]),
        (5, ["5"]),
        (("solo",), ["solo"]),
    ],
)
def test_unsupported_os_gives_one_debug_record(manager, debug_calls, os, records):
    assert manager.validate_os(os=os) is None
    assert debug_calls == [((NOT_SUPPORTED % text,), {}) for text in records]
    assert all(type(args[0]) is str for args, _ in debug_calls)


def test_unsupported_os_record_reaches_the_package_logger(manager, caplog):
    caplog.set_level(logging.DEBUG, logger="telvar")
    manager.validate_os(os="gamma")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("telvar", logging.DEBUG, NOT_SUPPORTED % "gamma")
    ]


EVENTS = []  # what the loggers below and the OS values saw, in order


def debug_function(self, text):
    EVENTS.append(("debug", type(self).__name__, text))


class PlainLog:
    debug = debug_function


class Recorder:
    """A callable that is no descriptor: called without the logger."""

    def __call__(self, text):
        EVENTS.append(("called", text))


class ListLog(list):
    debug = list.append  # a method descriptor: bound to the logger like a function


class LookingLog(PlainLog):
    def __getattribute__(self, attribute):
        EVENTS.append(("getattribute", attribute))
        return super().__getattribute__(attribute)


class FallbackLog:
    def __getattr__(self, attribute):
        EVENTS.append(("getattr", attribute))
        return Recorder()


def shadowed():
    log = PlainLog()
    log.debug = Recorder()
    return log


def module_log():
    log = types.ModuleType("fake_log")
    log.debug = Recorder()
    return log


LOGGERS = {
    "plain function": PlainLog,
    "instance attribute": shadowed,
    "__getattribute__": LookingLog,
    "__getattr__": FallbackLog,
    "staticmethod": lambda: type("Log", (), {"debug": staticmethod(Recorder())})(),
    "classmethod": lambda: type("Log", (), {"debug": classmethod(debug_function)})(),
    "property": lambda: type(
        "Log", (), {"debug": property(lambda self: EVENTS.append(("get",)) or Recorder())}
    )(),
    "callable object": lambda: type("Log", (), {"debug": Recorder()})(),
    "method descriptor": ListLog,
    "the class itself": lambda: type("Log", (), {"debug": lambda text: EVENTS.append(text)}),
    "module": module_log,
    "no debug": object,
    "raising debug": lambda: logger(Boom("debug")),
}


class Shown:
    """An OS whose str() is seen."""

    def __str__(self):
        EVENTS.append(("str",))
        return "shown"


@pytest.mark.parametrize(
    "os", ["gamma", "gämma", name("sub"), Shown()], ids=["str", "non-ASCII", "subclass", "object"]
)
@pytest.mark.parametrize("make_log", LOGGERS.values(), ids=LOGGERS)
def test_debug_record_calls_the_logger_as_the_reference(pm, monkeypatch, make_log, os):
    """The look-up of log.debug, the text's str() and the call, in the reference's order,
    whatever the logger and its debug are."""
    outcomes = []
    for module, base in ((pm, PluginManager), (reference, reference.ReferenceManager)):
        log = make_log()
        monkeypatch.setattr(module, "log", log)
        EVENTS.clear()
        try:
            outcome = ("returned", base().validate_os(os))
        except Exception as exc:  # the exception is the outcome compared
            outcome = (type(exc), exc.args)
        outcomes.append((outcome, EVENTS[:], list(log) if isinstance(log, list) else None))
    assert outcomes[0] == outcomes[1]


def test_missing_logger_raises_name_error(pm):
    def validate():
        del pm.log  # in a child: the module's globals keep their order here
        PluginManager().validate_os("gamma")

    assert in_child(validate) == "NameError: name 'log' is not defined"


def test_lists_are_read_from_the_instance_at_each_call(manager, debug_calls):
    asked = []

    class Listing(list):
        def __contains__(self, item):
            asked.append(item)
            return super().__contains__(item)

    manager.supported_os, manager.chassis_type_list = Listing(["gamma"]), Listing(["quad_rp"])
    manager.validate_os(os="gamma")
    manager.validate_chassis_type(chassis_type="quad_rp")
    assert debug_calls == []
    assert (
        refused(manager.validate_os, None) == "OS should be one of these ['gamma'] , but got None"
    )
    base = "chassis Type should be one of these ['quad_rp'], but got "
    assert refused(manager.validate_chassis_type, "single_rp") == base + "single_rp"
    assert (
        refused(manager.validate_chassis_type, "") == base
    )  # no membership test for a falsy value
    assert asked == ["gamma", "quad_rp", "single_rp"]


@pytest.mark.parametrize(
    "os, platform, model, chassis_type, message",
    [
        (None, None, None, None, OS_MSG + "None"),
        (None, "p1", "m1", "single_rp", "OS and platform are required for Model: m1"),
        (None, "P1", None, None, "OS information not provided for platform: P1"),
        ("alpha", "P1", "M1", None, " Model (M1) has to be in lowecase"),
        ("alpha", "P1", None, None, "platform (P1) has to be in lowercase"),
        ("", "p1", None, None, OS_MSG),
        ("gamma", "p1", "m1", None, CHASSIS_MSG + "None"),
        ("Linux", None, None, "bogus", CHASSIS_MSG + "bogus"),
        ("linux", "p1", "m1", None, None),
        ("".join(["lin", "ux"]), None, None, 42, None),
        ("alpha", "p1", "12", "stack", None),
    ],
)
def test_gate_reports_the_first_refusal(manager, os, platform, model, chassis_type, message):
    if message is None:
        assert manager.validate_arguments(os, platform, model, chassis_type) is None
    else:
        assert refused(manager.validate_arguments, os, platform, model, chassis_type) == message


@pytest.fixture
def traced(pm):
    """A manager whose validators record how they are called, then do their usual work."""
    calls = []

    def tracer(name):
        def method(self, *args, **kwargs):
            calls.append((name, args, list(kwargs.items())))
            return getattr(pm.PluginManager, name)(self, *args, **kwargs)

        return method

    return type("Traced", (pm.PluginManager,), {name: tracer(name) for name in VALIDATORS})(), calls


def expected_calls(os, platform, model, chassis_type):
    calls = [
        ("validate_model", (), [("os", os), ("platform", platform), ("model", model)]),
        ("validate_platform", (), [("platform", platform), ("os", os)]),
        ("validate_os", (), [("os", os)]),
    ]
    return (
        calls
        if os == "linux"
        else calls + [("validate_chassis_type", (), [("chassis_type", chassis_type)])]
    )


@pytest.mark.parametrize("os", ["alpha", "Linux", "".join(["lin", "ux"])])
def test_gate_calls_validators_in_order_by_keyword(traced, os):
    m, calls = traced
    m.validate_arguments(os, "p1", "m1", "dual_rp")
    assert calls == expected_calls(os, "p1", "m1", "dual_rp")


def test_registry_operations_use_overridden_validators(traced):
    m, calls = traced
    m.register_plugin(ConnA, "alpha", "p1", None, "f1", "stack")
    assert m.get_plugin(os="alpha", platform="p1", os_flavor="f1", chassis_type="stack") is ConnA
    m.unregister_plugin(os="alpha", platform="p1", os_flavor="f1", chassis_type="stack")
    # unregistration always validates "single_rp"
    expected = expected_calls("alpha", "p1", None, "stack") * 2 + expected_calls(
        "alpha", "p1", None, "single_rp"
    )
    assert calls == expected


def test_gate_stops_at_the_first_raising_override(pm):
    calls, error = [], RuntimeError("refused by override")

    class Strict(pm.PluginManager):
        def validate_platform(self, os, platform):
            calls.append("platform")
            raise error

        def validate_os(self, os):
            calls.append("os")

    m = Strict()
    with pytest.raises(RuntimeError) as exc:
        m.register_plugin(ConnA, os="alpha", platform="p1")
    assert exc.value is error and calls == ["platform"] and m.plugins == {}


@pytest.mark.parametrize("chassis_type", [None, "dual_rp", "bogus"])
def test_overridden_gate_gets_four_positional_arguments(pm, chassis_type):
    seen = []
    m = type(
        "Gate",
        (pm.PluginManager,),
        {"validate_arguments": lambda self, *a, **k: seen.append((a, k))},
    )()
    m.register_plugin(ConnA, os="alpha", platform="p1", os_flavor="f1", chassis_type=chassis_type)
    assert (
        m.get_plugin(os="alpha", platform="p1", os_flavor="f1", chassis_type=chassis_type) is ConnA
    )
    m.unregister_plugin(os="alpha", platform="p1", os_flavor="f1", chassis_type=chassis_type)
    assert seen == [(("alpha", "p1", None, chassis_type), {})] * 2 + [
        (("alpha", "p1", None, "single_rp"), {})
    ]


def test_instance_attributes_shadow_validators(manager):
    seen = []
    manager.validate_os = lambda **kwargs: seen.append(kwargs)
    manager.validate_arguments("", None, None, "stack")
    manager.validate_arguments = lambda *args, **kwargs: seen.append((args, kwargs))
    manager.register_plugin(ConnA, os="gamma", chassis_type="bogus")
    assert seen == [{"os": ""}, (("gamma", None, None, "bogus"), {})]
    assert manager.plugins["gamma"]["data"]["bogus"]["cls"] is ConnA


# Every entry that validates a chassis type, and how each reaches the validator: in place, or
# called as a method looked up on the manager.
CHASSIS_ENTRIES = {
    "validate_chassis_type": lambda m, c: m.validate_chassis_type(c),
    "validate_arguments": lambda m, c: m.validate_arguments("alpha", "p1", None, c),
    "get_plugin": lambda m, c: m.get_plugin(os="alpha", chassis_type=c),
    "register_plugin": lambda m, c: m.register_plugin(ConnA, os="beta", chassis_type=c),
    "unregister_plugin": lambda m, c: m.unregister_plugin(os="alpha", chassis_type=c),
}


@pytest.mark.parametrize("entry", CHASSIS_ENTRIES)
def test_a_validator_bound_to_another_manager_validates_with_that_manager(pm, entry):
    """m.validate_chassis_type = other.validate_chassis_type: the module's own function, called
    with the other manager, whose list decides and is named in the refusal."""
    m, other = pm.PluginManager(), pm.PluginManager()
    other.chassis_type_list = ["quad_rp"]
    m.validate_chassis_type = other.validate_chassis_type
    outcomes = []
    for chassis_type in ("quad_rp", "stack"):
        try:
            outcomes.append(CHASSIS_ENTRIES[entry](m, chassis_type))
        except ConnectionInfraError as exc:
            outcomes.append(str(exc))
    refusal = "chassis Type should be one of these ['quad_rp'], but got stack"
    if entry == "unregister_plugin":  # validates "single_rp" whatever it is given
        assert outcomes == [refusal.replace("stack", "single_rp")] * 2
    else:
        assert outcomes[1] == refusal and "chassis" not in str(outcomes[0])


@pytest.mark.parametrize("entry", CHASSIS_ENTRIES)
def test_an_error_of_the_chassis_list_membership_test_propagates(manager, entry):
    manager.chassis_type_list = type("Names", (list,), {"__contains__": Boom()})(["stack"])
    with pytest.raises(RuntimeError, match=whole("boom")):
        CHASSIS_ENTRIES[entry](manager, "stack")
    assert manager.plugins == {}


class Text(str):
    pass


CASE_SAMPLES = [
    "abc",
    "a1-b.2",
    "ǅ",
    "ß",
    "²",
    "١٢",
    "１２",
    "ⅷ",
    "ǆ1",
    "ΑΒ",
    "αβ",
    "1.2",
    "",
    "-",
    "Ab",
]


class TestCaseRules:
    """The lowercase-or-digits rule on exact str values and on str subclasses."""

    @pytest.mark.parametrize("value", CASE_SAMPLES)
    def test_case_rules_match_str_methods(self, manager, value):
        accepted = value.islower() or value.isdigit()
        for argument in (value, Text(value)):
            if accepted or not value:
                manager.validate_platform(os="alpha", platform=argument)
            else:
                with pytest.raises(ConnectionInfraError, match="has to be in lowercase"):
                    manager.validate_platform(os="alpha", platform=argument)

    def test_str_subclass_case_methods_are_called(self, manager):
        calls = []

        class Loud(str):
            def islower(self):
                calls.append("islower")
                return False

            def isdigit(self):
                calls.append("isdigit")
                return 1

        manager.validate_model(os="alpha", platform="p", model=Loud("UPPER"))
        assert calls == ["islower", "isdigit"]


UPPER_OK = name("UPPER", islower=lambda self: [0])


@forked
class TestHostileValues:
    """Values, lists and loggers whose methods raise or answer oddly."""

    @pytest.fixture
    def manager(self, manager):
        yield manager
        # Whatever a test did to it, the manager still holds a dict as its registry.
        assert type(manager.__dict__.get("_plugins")) is dict

    def test_case_tests_of_str_subclass_decide(self, manager):
        assert manager.validate_model(os="alpha", platform="p1", model=UPPER_OK) is None
        lower = name("lower", islower=lambda self: (), isdigit=lambda self: "")
        with pytest.raises(
            ConnectionInfraError, match=whole("platform (lower) has to be in lowercase")
        ):
            manager.validate_platform("alpha", lower)

    @pytest.mark.parametrize(
        "method, args, kwargs, match",
        [
            pytest.param(
                "validate_platform",
                ("alpha", name("p1", islower=Boom("islower"))),
                {},
                "islower",
                id="islower-raises",
            ),
            pytest.param(
                "validate_model",
                ("alpha", "p1", name("m1", islower=lambda self: 0, isdigit=lambda self: Boom())),
                {},
                "boom",
                id="isdigit-result-truth",
            ),
            pytest.param(
                "validate_model",
                ("alpha", "p1", name("M1", __str__=Boom())),
                {},
                "boom",
                id="str-model",
            ),
            pytest.param(
                "validate_model", (None, "p1", Unprintable()), {}, "boom", id="model-no-os"
            ),
            pytest.param(
                "validate_platform", (None, Unprintable()), {}, "boom", id="platform-no-os"
            ),
            pytest.param(
                "validate_os",
                (type("Zero", (int,), {"__str__": Boom()})(0),),
                {},
                "boom",
                id="int-os",
            ),
            pytest.param("validate_os", (Unprintable(),), {}, "boom", id="os"),
            pytest.param("validate_chassis_type", (Unprintable(),), {}, "boom", id="chassis"),
            pytest.param(
                "get_plugin",
                (),
                dict(os="linux", chassis_type=Unprintable()),
                "boom",
                id="get-chassis",
            ),
        ],
    )
    def test_case_test_or_str_raises(self, manager, method, args, kwargs, match):
        with pytest.raises(RuntimeError, match=whole(match)):
            getattr(manager, method)(*args, **kwargs)

    def test_supported_lists_with_hostile_methods(self, manager, debug_calls):
        manager.supported_os = type("Names", (list,), {"__str__": Boom()})(["alpha"])
        with pytest.raises(RuntimeError, match=whole("boom")):
            manager.validate_os("")
        names = type("Names", (list,), {"__contains__": Boom()})(["linux"])
        manager.supported_os = manager.chassis_type_list = names
        with pytest.raises(RuntimeError, match=whole("boom")):
            manager.register_plugin(ConnA, os="beta")
        with pytest.raises(RuntimeError, match=whole("boom")):
            manager.validate_arguments("linux", None, None, None)
        message = "chassis Type should be one of these ['linux'], but got "
        with pytest.raises(ConnectionInfraError, match=whole(message)):
            manager.validate_chassis_type("")
        assert debug_calls == []  # a failed membership test is no unsupported OS

    def test_raising_logger(self, pm, manager, monkeypatch):
        manager.register_plugin(ConnA, os="alpha", platform="p1")
        before = repr(manager.plugins)
        monkeypatch.setattr(pm, "log", logger(Boom("debug")))
        with pytest.raises(RuntimeError, match=whole("debug")):
            manager.validate_os("gamma")
        assert repr(manager.plugins) == before


def not_interned(text):
    return "".join(list(text))  # an equal str that is not the interned one


ATTRIBUTE_CHANGES = {
    "instance": lambda m, cls: setattr(m, "supported_os", ["zeta"]),
    "instance_dict": lambda m, cls: m.__dict__.__setitem__("supported_os", ["zeta"]),
    "not_interned_name": lambda m, cls: setattr(m, not_interned("supported_os"), ["zeta"]),
    "class_property": lambda m, cls: setattr(cls, "supported_os", property(lambda s: ["zeta"])),
    "deleted_then_class": lambda m, cls: (
        delattr(m, "supported_os"),
        setattr(cls, "supported_os", ["zeta"]),
    ),
}


class TestRememberedAnswers:
    """An attribute read through a remembered answer, changed: the next call reads it."""

    @pytest.mark.parametrize("change", ATTRIBUTE_CHANGES)
    def test_a_changed_attribute_is_read_at_the_next_call(self, pm, debug_calls, change):
        cls = type("Manager", (pm.PluginManager,), {})
        m = cls()
        for _ in range(3):
            m.validate_os("alpha")
        assert debug_calls == []
        ATTRIBUTE_CHANGES[change](m, cls)
        m.validate_os("alpha")  # no longer in the list: a debug record
        assert len(debug_calls) == 1
        with pytest.raises(ConnectionInfraError, match=r"\['zeta'\]"):
            m.validate_os("")


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The truth tests validate_os makes, as the reference makes them."""

    @pytest.mark.parametrize(
        "listed, truthy, truth_tests, outcome",
        [
            (True, True, 2, ("returned", None)),
            (False, True, 1, ("returned", None)),  # noted in the debug log
            (
                True,
                False,
                2,
                (ConnectionInfraError, ("OS should be one of these [flag] , but got flag",)),
            ),
            (
                False,
                False,
                2,
                (ConnectionInfraError, ("OS should be one of these [] , but got flag",)),
            ),
        ],
    )
    def test_validate_os_truth_tests(self, listed, truthy, truth_tests, outcome):
        flag = Flag(truthy)

        def validate(manager):
            manager.supported_os = [flag] if listed else []
            return manager.validate_os(flag)

        for base in (PluginManager, reference.ReferenceManager):
            result, recorded, _ = run(base, validate)
            assert result == outcome
            assert recorded.count(("bool",)) == truth_tests
        same_calls(validate)


def test_validate_os_as_the_logger_ends_in_recursion_error(monkeypatch):
    """Each level logs a longer message; the runaway recursion ends in RecursionError."""
    log = types.SimpleNamespace(debug=PluginManager().validate_os)
    monkeypatch.setattr(pluginmanager, "log", log)
    outcome = in_child(lambda: PluginManager().validate_os("nope"), limit=200)
    assert outcome.startswith("RecursionError")
