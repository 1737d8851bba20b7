"""Lookup (get_plugin) in the registry tree: the walk, its fallbacks and failures, "data" as a
path element, the calls it makes (and the calls of unregistration's walk, which is the same), the
answers it remembers between calls, and runaway recursion through it."""

import copy
import os
import tracemalloc

import pytest
import reference
from helpers import freeze, in_child, looping, not_found, refused
from hostile import colliding_key, name
from recording import VARIANTS, Text, label, run, same_calls

from telvar.core import pluginmanager
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

NOT_FOUND = "Plugin data not found"


class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        (dict(os="alpha"), ConnA),
        (dict(os="alpha", platform="plat1", chassis_type="dual_rp"), ConnB),
        (dict(os="alpha", platform="plat9"), ConnA),
        (dict(os="alpha", platform="plat9", model="m1", os_flavor="f1"), ConnA),
        (
            dict(os="alpha", platform="plat1", model="m1", os_flavor="f1", chassis_type="dual_rp"),
            ConnB,
        ),
        (dict(os="alpha", platform="plat1"), not_found("alpha/plat1")),
        (dict(os="alpha", platform="plat1", model="m1"), not_found("alpha/plat1/m1")),
        (dict(os="alpha", chassis_type="dual_rp"), not_found("alpha", "dual_rp")),
        (dict(os="beta", platform="p", model="m", os_flavor="f"), not_found("beta/p/m/f")),
        (dict(os="linux", platform="", model="", chassis_type=None), not_found("linux//", "None")),
        (dict(os="alpha", platform="data"), ConnA),  # "data" is never a child: falls back
    ],
)
def test_lookup(manager, kwargs, expected):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", platform="plat1", chassis_type="dual_rp")
    check = freeze(manager)
    if isinstance(expected, str):
        assert refused(manager.get_plugin, **kwargs) == expected
    else:
        assert manager.get_plugin(**kwargs) is expected
    check()


def test_skipped_level_matches_the_next_element_at_the_same_depth(manager):
    manager.register_plugin(ConnA, os="alpha")
    manager.register_plugin(ConnB, os="alpha", os_flavor="f1")
    manager.register_plugin(ConnC, os="beta")
    assert manager.get_plugin(os="alpha", platform="p", model="m", os_flavor="f1") is ConnB
    # an OS without a node: the platform is then matched against OS names
    assert manager.get_plugin(os="gamma", platform="beta") is ConnC


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(
            os="alpha", os_flavor=5
        ),  # [alpha, 5] is reached, but the failure message cannot be joined
        dict(os="alpha", model=""),  # None platform in the path
        dict(os="alpha", os_flavor=["f"]),
        dict(os="alpha", platform="p1", os_flavor={}),
    ],
)
def test_lookup_type_errors(manager, kwargs):
    manager.register_plugin(ConnA, os="alpha", os_flavor=5)
    assert manager.get_plugin(os="alpha", os_flavor=5) is ConnA
    check = freeze(manager)
    with pytest.raises(TypeError):
        manager.get_plugin(chassis_type="dual_rp", **kwargs)
    check()


@pytest.mark.skipif(
    os.environ.get("TELVAR_NO_FAST_PATHS", "")[:1] not in ("", "0"),
    reason="the fast paths are turned off",
)
def test_a_hit_and_a_validation_allocate_nothing_on_a_version_the_fast_paths_serve():
    """Every supported version's fence opens the reads of its internals: the manager's own
    methods are found without a bound method, and a hit walks the tree without a reference."""
    m = PluginManager()
    m.register_plugin(ConnA, os="alpha", platform="p1")
    for call in (
        lambda: m.get_plugin(os="alpha", platform="p1"),
        lambda: m.validate_arguments("alpha", "p1", None, "single_rp"),
    ):
        call()
        tracemalloc.start()
        try:
            call()
            assert tracemalloc.get_traced_memory()[1] == 0
        finally:
            tracemalloc.stop()


class Shown(str):
    """A str subclass whose str() is not its value."""

    def __str__(self):
        return "<" + self + ">"


MESSAGES = {
    "not found": lambda m: m.get_plugin(os="alpha", platform="p9", chassis_type=Shown("dual_rp")),
    "not found, linux": lambda m: m.get_plugin(os=Shown("linux"), chassis_type=Shown("quad")),
    "not found, unregistered": lambda m: m.unregister_plugin(os="alpha", chassis_type=Shown("x")),
    "chassis refused": lambda m: m.get_plugin(os="alpha", chassis_type=Shown("quad")),
    "model refused": lambda m: m.validate_model(None, Shown("p1"), Shown("m1")),
}


@pytest.mark.parametrize("call", MESSAGES.values(), ids=MESSAGES)
def test_messages_show_a_str_subclass_as_its_str(call):
    outcomes = []
    for base in (PluginManager, reference.ReferenceManager):
        m = base()
        m.register_plugin(ConnA, os="alpha")
        with pytest.raises(ConnectionInfraError) as exc:
            call(m)
        outcomes.append(exc.value.args)
    assert outcomes[0] == outcomes[1] and "<" in outcomes[0][0]


# -------------------------------------------------------------------- "data" as a path element


@pytest.mark.parametrize(
    "operation, kwargs, expected",
    [
        ("get_plugin", dict(platform="data"), ConnA),
        ("get_plugin", dict(os_flavor="data"), ConnA),
        ("get_plugin", dict(platform="data", model="data", os_flavor="data"), ConnA),
        ("get_plugin", dict(platform="data", model="p1"), ConnB),
        ("get_plugin", dict(platform="p1", model="data"), ConnB),
        (
            "get_plugin",
            dict(platform="data", chassis_type="cls"),
            NOT_FOUND + " for (linux/data), type: cls ",
        ),
        ("unregister_plugin", dict(platform="data", chassis_type="cls"), NOT_FOUND),
        ("unregister_plugin", dict(platform="data"), NOT_FOUND),
        ("unregister_plugin", dict(os_flavor="data", chassis_type="path"), NOT_FOUND),
    ],
)
def test_data_is_never_a_child_in_lookup_or_unregistration(manager, operation, kwargs, expected):
    manager.register_plugin(ConnA, os="linux")
    manager.register_plugin(ConnA, os="linux", chassis_type="data")  # linux takes any chassis type
    manager.register_plugin(ConnB, os="linux", platform="p1")
    before = copy.deepcopy(manager.plugins)
    if isinstance(expected, str):
        with pytest.raises(ConnectionInfraError) as info:
            getattr(manager, operation)(os="linux", **kwargs)
        assert info.value.args == (expected,)
    else:
        assert getattr(manager, operation)(os="linux", **kwargs) is expected
    assert manager.plugins == before
    assert manager.get_plugin(os="linux", chassis_type="data") is ConnA


StrSub = type("StrSub", (str,), {})


def not_interned(text):
    return "".join(list(text))  # an equal str that is not the interned one


RESERVED = "'data' is reserved and cannot be used as a plugin path element"


@pytest.mark.parametrize("data_key", ["data", not_interned("data")], ids=["data", "equal data"])
@pytest.mark.parametrize("os_text", [str, StrSub], ids=["str os", "str-subclass os"])
@pytest.mark.parametrize("chassis_text", [str, StrSub], ids=["str chassis", "str-subclass chassis"])
@pytest.mark.parametrize(
    "operation, chassis_type, expected",
    [
        ("get_plugin", "single_rp", float),
        ("unregister_plugin", None, NOT_FOUND),
        ("unregister_plugin", "single_rp", NOT_FOUND),
        ("register_plugin", "dual_rp", RESERVED),
    ],
)
def test_the_node_data_map_is_not_walked_into_through_another_key(
    manager, data_key, os_text, chassis_text, operation, chassis_type, expected
):
    """One dict stored as plugins["alpha"] and plugins["data"] stays the root's data map (its
    "single_rp" record holds float), never a node whose own data map is walked into (holding
    int), whatever the kinds of the os, the chassis type and the "data" key (an equal str that
    json.loads or a join gives), and whichever path reads it."""
    shared = {"data": {"single_rp": {"cls": int, "path": "p"}}, "single_rp": {"cls": float}}
    manager.plugins.update({"alpha": shared, data_key: shared})
    check = freeze(manager)
    args = (ConnC,) if operation == "register_plugin" else ()
    chassis = chassis_type if chassis_type is None else chassis_text(chassis_type)
    call = lambda: getattr(manager, operation)(*args, os=os_text("alpha"), chassis_type=chassis)  # noqa: E731
    if isinstance(expected, str):
        assert refused(call) == expected
    else:
        assert call() is expected
    check()


# A chassis type whose hash runs Python code that changes the node's data map: the rule reads
# the data map again after the membership test.
DATA_MAP_CHANGES = {
    "replaced": lambda node: node.__setitem__("data", {"single_rp": {"cls": ConnB, "path": "x"}}),
    "removed": lambda node: node.pop("data"),
    "emptied": lambda node: node["data"].clear(),
}


@pytest.mark.parametrize("change", DATA_MAP_CHANGES)
def test_the_data_map_is_read_again_after_the_chassis_type_test(change):
    outcomes = []
    for base in (PluginManager, reference.ReferenceManager):
        m = base()
        m.register_plugin(ConnA, os="alpha")
        ran = []

        def once(self, m=m, ran=ran):
            if not ran:
                ran.append(True)
                DATA_MAP_CHANGES[change](m.plugins["alpha"])
            return str.__hash__(self)

        try:
            outcome = m.get_plugin(os="alpha", chassis_type=name("single_rp", __hash__=once))
        except Exception as exc:
            outcome = type(exc), str(exc)
        outcomes.append((outcome, ran))
    assert outcomes[0] == outcomes[1]


class Node(dict):
    """A registry node that counts its keys() calls."""

    calls = 0

    def keys(self):
        Node.calls += 1
        return super().keys()


def test_dict_subclass_nodes_are_walked_through_keys(manager):
    manager.register_plugin(Conn, os="alpha", platform="plat1")
    manager.plugins["alpha"] = Node(manager.plugins["alpha"])
    Node.calls = 0
    assert manager.get_plugin(os="alpha", platform="plat1", model="m1") is Conn
    assert Node.calls == 1
    with pytest.raises(ConnectionInfraError, match=r"^Plugin data not found$"):
        manager.unregister_plugin(os="alpha", platform="plat2")
    assert Node.calls == 2


# ------------------------------------------------------------------------------ the calls made


WALK = ["root keys", "root get alpha", "root/alpha keys", "root/alpha get p1"]


@pytest.mark.usefixtures("recorded_debug")
class TestCallSequences:
    """The calls lookup, unregistration and registration make on the nodes, keys and manager,
    as the reference makes them."""

    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize(
        "where",
        [
            dict(os="alpha", platform="p1"),
            dict(os="alpha", platform="p2"),  # a missing level is skipped
            dict(os="alpha", platform="p1", model="m1", os_flavor="f1", chassis_type="dual_rp"),
            dict(os="alpha", os_flavor="p1", chassis_type="stack"),
            dict(os="beta", platform="p1"),
            dict(os="alpha", platform=Text("data")),  # never a child, the node not asked
        ],
        ids=label,
    )
    def test_lookup_calls(self, variant, where):
        same_calls(lambda m: m.get_plugin(**where), variant=variant)

    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize(
        "where",
        [
            dict(os="alpha", platform="p1"),
            dict(os="alpha", platform="p1", chassis_type="dual_rp"),
            dict(os="alpha", platform="p1", chassis_type="stack"),
            dict(os="alpha", platform="p2", chassis_type="single_rp"),
            dict(os="beta", platform="p1"),
            dict(os="alpha", platform=Text("data")),
        ],
        ids=label,
    )
    def test_unregistration_calls(self, variant, where):
        same_calls(lambda m: m.unregister_plugin(**where), variant=variant)

    @pytest.mark.usefixtures("recorded_debug")
    @pytest.mark.parametrize("variant", VARIANTS)
    @pytest.mark.parametrize(
        "where",
        [
            dict(os="alpha", platform="p1"),  # replaces a record: logged
            dict(os="alpha", platform="p1", chassis_type="stack"),  # joins a data map
            dict(os="alpha", platform="p2", model="m1"),  # new levels
            dict(os="beta", platform="p1"),  # a node without a data map
            dict(os=Text("gamma"), os_flavor=Text("f1")),  # elements hashed and compared
            dict(os="alpha", os_flavor=Text("data")),  # refused by its text
            dict(os="alpha", platform="p3", model=Text("m1"), chassis_type=Text("stack")),
        ],
        ids=label,
    )
    def test_registration_calls(self, variant, where):
        same_calls(lambda m: m.register_plugin(Conn, **where), variant=variant)

    @pytest.mark.parametrize(
        "operation, where, node_calls",
        [
            (
                "get_plugin",
                dict(os="alpha", platform="p1", chassis_type="dual_rp"),
                WALK
                + [
                    "root/alpha/p1 in data",
                    "root/alpha/p1 get data",
                    "root/alpha/p1/data in dual_rp",
                ]
                + ["root/alpha/p1 get data", "root/alpha/p1/data get dual_rp"]
                + ["root/alpha/p1/data/dual_rp get cls"],
            ),
            (
                "unregister_plugin",
                dict(os="alpha", platform="p1"),
                WALK + ["root/alpha/p1 in data", "root/alpha/p1 del data"],
            ),
            (
                "unregister_plugin",
                dict(os="alpha", platform="p1", chassis_type="dual_rp"),
                WALK
                + ["root/alpha/p1 in data", "root/alpha/p1 get data"]
                + ["root/alpha/p1/data in dual_rp", "root/alpha/p1/data del dual_rp"],
            ),
        ],
        ids=["lookup", "unregistration of a data map", "unregistration of a chassis type"],
    )
    def test_node_calls_spelled_out(self, operation, where, node_calls):
        for base in (PluginManager, reference.ReferenceManager):
            outcome, recorded, _ = run(base, lambda m: getattr(m, operation)(**where))
            assert outcome[0] == "returned"
            assert [" ".join(call[1:]) for call in recorded if call[0] == "node"] == node_calls


# -------------------------------------------------------------------------- remembered answers


class Conn:
    pass


def sentinel_validator(calls):
    def validate_os(self, os):
        calls.append(os)

    return validate_os


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
    # A key that is not a str: the instance's attribute values move into a dict of their own.
    "general dict": lambda m, seen: m.__dict__.update({1: 1, "chassis_type_list": ["other"]}),
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
    # No Python code runs before the truth test: the manager's answers so far are remembered.
    "truth of the chassis type, OS supported": lambda m, change: dict(
        os="alpha", chassis_type=Truthy("single_rp")
    ),
}


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


class TestRememberedAnswers:
    """Answers the module remembers between calls (methods, attributes, the registry) stay
    right when what they came from changes, before a call or in the middle of one."""

    @pytest.mark.parametrize("change", CHANGES)
    def test_a_changed_method_is_called_at_the_next_call(self, pm, change):
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

    @pytest.mark.parametrize("where", ["instance", "class"])
    def test_a_replaced_registry_is_the_one_walked(self, pm, where):
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

    @pytest.mark.parametrize("trigger", TRIGGERS)
    @pytest.mark.parametrize("change", MID_CALL_CHANGES)
    def test_changes_made_by_python_code_mid_call_are_seen(self, pm, monkeypatch, trigger, change):
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
            monkeypatch.setattr(
                EqualsNothing, "change", staticmethod(run_change_once), raising=False
            )
            where = TRIGGERS[trigger](m, run_change_once)
            try:
                outcome = "returned", m.get_plugin(**where)
            except Exception as exc:
                outcome = type(exc).__name__, str(exc)
            outcomes.append((outcome, seen, bool(changed)))
        assert outcomes[0] == outcomes[1]
        assert outcomes[0][2]  # the change did run

    def test_managers_of_two_classes_in_turn_keep_their_own_methods(self, pm):
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

    @pytest.mark.parametrize("method", ["__set__", "__delete__"])
    @pytest.mark.parametrize("site", DESCRIPTOR_SITES)
    def test_a_descriptor_that_becomes_a_data_descriptor_is_read_through(self, pm, site, method):
        import reference

        seen = []
        for base in (pm.PluginManager, reference.ReferenceManager):
            desc = type(
                "Desc", (), {"__get__": lambda self, obj, owner=None: DESCRIPTOR_SITES[site]}
            )
            m = type("Manager", (base,), {site: desc()})()
            m.register_plugin(Conn, os="alpha")
            for _ in range(3):
                before = outcomes_of(m)  # the instance's value, remembered by now
            setattr(desc, method, lambda self, obj, *value: None)
            seen.append((before, outcomes_of(m)))
        assert seen[0] == seen[1]
        assert seen[0][0] != seen[0][1]


# A key that compares by its own __eq__ and hashes as one of the names the manager looks up,
# in the dict of the manager's class or of the class of one of its class attributes: a look-up
# of that name in that dict runs the __eq__, which changes the class. The __eq__ runs where it
# runs for the plain-Python manager; from the next call on, the manager behaves as if the
# change had been made between two calls; and nothing the change frees is read (a crash under
# the sanitizers otherwise).
def descriptor(**methods):
    return type("Desc", (), {"__get__": lambda *a: DESCRIPTOR_SITES["_plugins"], **methods})()


CLASS_CHANGES = {  # the name, the class namespace holding the key, the change
    "an override added": (
        "supported_os",
        lambda key: {key: 1},
        lambda cls, seen: setattr(cls, "validate_os", lambda self, os: seen.append(os)),
    ),
    "a registry property added": (
        "chassis_type_list",
        lambda key: {key: 1},
        lambda cls, seen: setattr(
            cls, "_plugins", property(lambda self: DESCRIPTOR_SITES["_plugins"])
        ),
    ),
    "a class attribute deleted": (
        "chassis_type_list",
        lambda key: {key: 1, "_plugins": type("Plain", (), {})()},
        lambda cls, seen: delattr(cls, "_plugins"),
    ),
    "a descriptor made a data descriptor": (
        "supported_os",
        lambda key: {key: 1, "_plugins": descriptor()},
        lambda cls, seen: setattr(type(cls.__dict__["_plugins"]), "__set__", lambda *a: None),
    ),
    "a descriptor's own class changed": (
        "_plugins",
        lambda key: {"_plugins": descriptor(**{key: 1})},
        lambda cls, seen: setattr(type(cls.__dict__["_plugins"]), "__set__", lambda *a: None),
    ),
}


def class_changed(base, change, mid_lookup):
    """The outcomes after the change, made in the middle of a look-up (if one runs the __eq__)
    or between two calls, and whether it ran."""
    target, namespace, action = CLASS_CHANGES[change]
    seen, armed = [], []

    def run_once():
        if armed:
            armed.clear()
            action(cls, seen)

    cls = type("Hostile", (base,), namespace(colliding_key("zz", target, run_once)))
    m = cls()
    m.register_plugin(Conn, os="alpha")
    armed.append(True)
    if mid_lookup:
        # The interpreter's cached answers go: the next look-up searches the dicts.
        for owner in (cls, type(cls.__dict__.get("_plugins", m))):
            owner.changed = True
        outcomes_of(m)  # the change runs in the middle of this, if at all
    else:
        run_once()
    seen.clear()
    return outcomes_of(m), seen, not armed


@pytest.mark.parametrize("change", CLASS_CHANGES)
def test_a_class_changed_while_a_name_is_looked_up_is_seen_as_python_sees_it(change):
    def compare():
        native = class_changed(PluginManager, change, mid_lookup=True)
        plain = class_changed(reference.ReferenceManager, change, mid_lookup=True)
        assert native[2] == plain[2]  # the __eq__ ran, or did not, as it does in Python
        if native[2]:
            assert native == class_changed(PluginManager, change, mid_lookup=False)
        else:
            assert native == plain

    assert in_child(compare) == "ok"


# ------------------------------------------------------------------------ runaway recursion


def validator_is_get_plugin(monkeypatch):
    m = PluginManager()
    m.validate_os = m.get_plugin
    return lambda: m.get_plugin(os="alpha")


def validate_arguments_is_get_plugin(monkeypatch):
    return lambda: looping(validate_arguments=PluginManager.get_plugin)().get_plugin(os="alpha")


def error_class_is_get_plugin(monkeypatch):  # the empty registry's not-found error recurses
    monkeypatch.setattr(pluginmanager, "ConnectionInfraError", PluginManager().get_plugin)
    return lambda: PluginManager().get_plugin(os="linux")


@pytest.mark.parametrize(
    "scenario",
    [validator_is_get_plugin, validate_arguments_is_get_plugin, error_class_is_get_plugin],
)
def test_mutual_recursion_ends_in_recursion_error(monkeypatch, scenario):
    assert in_child(scenario(monkeypatch), limit=200).startswith("RecursionError")
