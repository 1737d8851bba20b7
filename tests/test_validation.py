"""Field validators and the combined argument gate of PluginManager."""

import logging

import pytest

from telvar.core.errors import ConnectionInfraError

OS_MSG = "OS should be one of these ['alpha', 'beta', 'linux'] , but got "
CHASSIS_MSG = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got "
NOT_SUPPORTED = "%s is not part of the built-in list of supported OSes."
VALIDATORS = ("validate_model", "validate_platform", "validate_os", "validate_chassis_type")


class ConnA:
    pass


def refused(call, *args, **kwargs):
    with pytest.raises(ConnectionInfraError) as exc:
        call(*args, **kwargs)
    assert type(exc.value) is ConnectionInfraError and len(exc.value.args) == 1
    return exc.value.args[0]


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
    [("alpha", []), ("linux", []), ("Alpha", ["Alpha"]), (5, ["5"]), (("solo",), ["solo"])],
)
def test_unsupported_os_gives_one_debug_record(manager, debug_calls, os, records):
    assert manager.validate_os(os=os) is None
    assert debug_calls == [((NOT_SUPPORTED % text,), {}) for text in records]


def test_unsupported_os_record_reaches_the_package_logger(manager, caplog):
    caplog.set_level(logging.DEBUG, logger="telvar")
    manager.validate_os(os="gamma")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("telvar", logging.DEBUG, NOT_SUPPORTED % "gamma")
    ]


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
