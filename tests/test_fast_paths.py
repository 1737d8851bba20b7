"""Answers the module remembers between calls stay right when attributes change.

Each case warms the remembered answer with a few calls, changes an attribute in one
way, and expects the very next call to see the change.
"""

import pytest

from telvar.core.errors import ConnectionInfraError


class Conn:
    pass


def sentinel_validator(calls):
    def validate_os(self, os):
        calls.append(os)

    return validate_os


def not_interned(text):
    return "".join(list(text))  # an equal str that is not the interned one


CHANGES = {
    "instance": lambda m, cls, base, value: setattr(m, "validate_os", value.__get__(m)),
    "class": lambda m, cls, base, value: setattr(cls, "validate_os", value),
    "base_class": lambda m, cls, base, value: setattr(base, "validate_os", value),
    "instance_dict": lambda m, cls, base, value: m.__dict__.__setitem__(
        "validate_os", value.__get__(m)
    ),
    "not_interned_name": lambda m, cls, base, value: setattr(
        m, not_interned("validate_os"), value.__get__(m)
    ),
    "materialised_dict": lambda m, cls, base, value: (
        m.__dict__,
        setattr(m, "validate_os", value.__get__(m)),
    ),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_changed_method_is_called_at_the_next_call(pm, change):
    base = type("Base", (pm.PluginManager,), {})
    cls = type("Manager", (base,), {})
    m = cls()
    m.register_plugin(Conn, os="alpha")
    for _ in range(3):
        assert m.get_plugin(os="alpha") is Conn  # the answer is remembered by now
    calls = []
    CHANGES[change](m, cls, base, sentinel_validator(calls))
    assert m.get_plugin(os="alpha") is Conn
    assert calls == ["alpha"]


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


@pytest.mark.parametrize("change", ATTRIBUTE_CHANGES)
def test_a_changed_attribute_is_read_at_the_next_call(pm, debug_calls, change):
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


@pytest.mark.parametrize("where", ["instance", "class"])
def test_a_replaced_registry_is_the_one_walked(pm, where):
    cls = type("Manager", (pm.PluginManager,), {})
    m = cls()
    m.register_plugin(Conn, os="alpha")
    for _ in range(3):
        assert m.get_plugin(os="alpha") is Conn
    other = {"beta": {"data": {"single_rp": {"cls": int, "path": "x"}}}}
    if where == "instance":
        m._plugins = other
    else:
        del m._plugins
        cls._plugins = other
    assert m.get_plugin(os="beta") is int
    assert m.plugins is other


# Python code that runs in the middle of a call (a logger, an item's __eq__, a value's
# __bool__) changes the manager; the rest of that call sees the change, as the plain-Python
# manager does.
MID_CALL_CHANGES = {
    "instance validator": lambda m, seen: setattr(
        m, "validate_chassis_type", lambda chassis_type: seen.append(chassis_type)
    ),
    "class validator": lambda m, seen: setattr(
        type(m), "validate_chassis_type", lambda self, chassis_type: seen.append(chassis_type)
    ),
    "chassis list": lambda m, seen: setattr(m, "chassis_type_list", ["other"]),
    "registry": lambda m, seen: setattr(
        m, "_plugins", {"gamma": {"data": {"single_rp": {"cls": int}}}}
    ),
    "materialised dict": lambda m, seen: m.__dict__.__setitem__("chassis_type_list", ["other"]),
}


class Truthy(str):
    """A chassis type whose truth test runs the change."""

    def __bool__(self):
        Truthy.change()
        return True


class EqualsNothing:
    """A supported_os item whose comparison runs the change."""

    def __eq__(self, other):
        EqualsNothing.change()
        return False

    __hash__ = object.__hash__


TRIGGERS = {
    "debug log": lambda m, change: dict(os="gamma"),
    "list item": lambda m, change: (
        setattr(m, "supported_os", [EqualsNothing(), "gamma"]) or dict(os="gamma")
    ),
    "truth of the chassis type": lambda m, change: dict(
        os="gamma", chassis_type=Truthy("single_rp")
    ),
}


@pytest.mark.parametrize("trigger", TRIGGERS)
@pytest.mark.parametrize("change", MID_CALL_CHANGES)
def test_changes_made_by_python_code_mid_call_are_seen(pm, monkeypatch, trigger, change):
    import reference

    outcomes = []
    for base in (pm.PluginManager, reference.ReferenceManager):
        m = type("Manager", (base,), {})()
        m.register_plugin(Conn, os="gamma")
        for _ in range(3):
            m.get_plugin(os="gamma")  # the answers are remembered by now
        seen, changed = [], []

        def run_change_once(m=m, seen=seen, changed=changed):
            if not changed:
                changed.append(True)
                MID_CALL_CHANGES[change](m, seen)

        log = type("Log", (), {"debug": lambda self, text: run_change_once()})()
        monkeypatch.setattr(pm, "log", log)
        monkeypatch.setattr(reference, "log", log)
        monkeypatch.setattr(Truthy, "change", staticmethod(run_change_once), raising=False)
        monkeypatch.setattr(EqualsNothing, "change", staticmethod(run_change_once), raising=False)
        where = TRIGGERS[trigger](m, run_change_once)
        try:
            outcome = "returned", m.get_plugin(**where)
        except Exception as exc:
            outcome = type(exc).__name__, str(exc)
        outcomes.append((outcome, seen, bool(changed)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][2]  # the change did run


def test_managers_of_two_classes_in_turn_keep_their_own_methods(pm):
    calls = []
    overriding = type(
        "Overriding",
        (pm.PluginManager,),
        {"validate_os": lambda self, os: calls.append(os)},
    )
    plain = type("Plain", (pm.PluginManager,), {})
    managers = [overriding(), plain()]
    for m in managers:
        m.register_plugin(Conn, os="alpha")
    for _ in range(3):
        for m in managers:
            assert m.get_plugin(os="alpha") is Conn
            with pytest.raises(ConnectionInfraError):
                m.get_plugin(os="alpha", chassis_type="")
    assert calls == ["alpha"] * 7  # registration, then a hit and a refusal per round


# A class attribute of a type defined in Python can become a data descriptor later, when its
# class gains __set__ or __delete__; Python then reads it instead of the instance's value. The
# manager class itself does not change when that happens.
DESCRIPTOR_SITES = {
    "supported_os": ["zeta"],
    "_plugins": {"beta": {"data": {"single_rp": {"cls": int, "path": "x"}}}},
    "chassis_type_list": ["other"],
}


def outcomes_of(m):
    outcomes = []
    for call in (
        lambda: m.get_plugin(os="alpha"),
        lambda: m.get_plugin(os="beta"),
        lambda: m.validate_os(""),
        lambda: m.validate_chassis_type(""),
    ):
        try:
            outcomes.append(("returned", call()))
        except Exception as exc:
            outcomes.append((type(exc).__name__, str(exc)))
    return outcomes


@pytest.mark.parametrize("method", ["__set__", "__delete__"])
@pytest.mark.parametrize("site", DESCRIPTOR_SITES)
def test_a_descriptor_that_becomes_a_data_descriptor_is_read_through(pm, site, method):
    import reference

    seen = []
    for base in (pm.PluginManager, reference.ReferenceManager):
        desc = type("Desc", (), {"__get__": lambda self, obj, owner=None: DESCRIPTOR_SITES[site]})
        m = type("Manager", (base,), {site: desc()})()
        m.register_plugin(Conn, os="alpha")
        for _ in range(3):
            before = outcomes_of(m)  # the instance's value, remembered by now
        setattr(desc, method, lambda self, obj, *value: None)
        seen.append((before, outcomes_of(m)))
    assert seen[0] == seen[1]
    assert seen[0][0] != seen[0][1]
