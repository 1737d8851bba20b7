"""Hunts reference leaks and over-releases in the extension the way CPython's `regrtest -R`
hunts leaks.

Run under a debug interpreter (sys.gettotalrefcount exists only there): each operation of
the manager, and each of its error paths, runs in rounds of CALLS calls; after WARMUP rounds
(caches, interned names and the interpreter's specialisations settle) the total reference
count is taken around each of ROUNDS rounds, less what an empty operation's rounds add. An
operation leaks when the total grows in every measured round, as regrtest judges it, and
releases too much when it shrinks in every one. The operations run on two trees: one of plain
dicts and exact str keys, which the fast paths take, and one that keeps every look-up on the
general paths. The plugin classes are held many times over, so that a class released once too
often per call stays alive and shows as a count, not as a crash.

    python scripts/refcheck.py [--calls N] [--rounds N]
"""

import argparse
import contextlib
import faulthandler
import logging
import os
import sys

from telvar.core import pluginmanager
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager

WARMUP = 3


class Conn:
    """A plugin class."""


class Other:
    """Another plugin class."""


class Key(str):
    """A str subclass as a path element: the general paths."""


class Unhashable(str):
    __hash__ = None


class BadBool(str):
    def __bool__(self):
        raise ValueError("no truth")


# The path elements of the general paths, made once.
BETA, GAMMA, G1, STACK = Key("beta"), Key("gamma"), Key("g1"), Key("stack")
NUMBER = 10**30  # a path element that is not a str

# References enough for every call of every round: an over-release of a class or a path element
# never frees it.
BALLAST = [Conn, Other, BETA, GAMMA, G1, STACK, NUMBER] * 100_000


def manager_with_records():
    """A tree that only the general paths take: a str-subclass key at the root."""
    m = PluginManager()
    m.register_plugin(Conn, os="alpha", platform="p1", model="m1")
    m.register_plugin(Other, os="alpha", platform="p1", model="m1", chassis_type="dual_rp")
    m.register_plugin(Conn, os=BETA, platform="p2")
    m.plugins["leafy"] = {"x": 1, Key("y"): [1, 2]}
    return m


def plain_manager():
    """A tree the fast paths take: plain dicts of exact str keys in a plain manager."""
    m = PluginManager()
    m.register_plugin(Conn, os="alpha", platform="p1", model="m1")
    m.register_plugin(Other, os="alpha", platform="p1", model="m1", chassis_type="dual_rp")
    m.register_plugin(Conn, os="beta", platform="p2")
    return m


def plain_operations():
    p = plain_manager()

    def add_and_remove():
        p.register_plugin(Other, os="gamma", platform="g1")
        p.unregister_plugin(os="gamma", platform="g1")

    def add_and_remove_last():
        p.register_plugin(Other, os="gamma", platform="g1", chassis_type="stack")
        p.unregister_plugin(os="gamma", platform="g1", chassis_type="stack")

    return {
        "get_plugin hit, plain tree": lambda: p.get_plugin(os="alpha", platform="p1", model="m1"),
        "get_plugin hit at a shallower node, plain tree": lambda: p.get_plugin(
            os="beta", platform="p2", model="m7"
        ),
        "get_plugin not found, plain tree": lambda: p.get_plugin(os="delta"),
        "get_plugin not found below a hit level, plain tree": lambda: p.get_plugin(
            os="alpha", platform="p1", chassis_type="stack"
        ),
        "register_plugin replacing, plain tree": lambda: p.register_plugin(
            Conn, os="alpha", platform="p1", model="m1"
        ),
        "register_plugin + unregister_plugin, plain tree": add_and_remove,
        "register_plugin + unregister_plugin of the last record, plain tree": add_and_remove_last,
        "print_tree, plain tree": lambda: p.print_tree(p.plugins),
        "repr, plain tree": lambda: repr(p),
    }


def operations():
    m = manager_with_records()
    looping = type("Looping", (PluginManager,), {})()
    looping.validate_os = looping.get_plugin  # recursion through the module's own functions

    def recursion():
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(100)
        try:
            looping.get_plugin(os="alpha")
        finally:
            sys.setrecursionlimit(limit)

    def replace():
        m.register_plugin(Conn, os="alpha", platform="p1", model="m1")

    def add_and_remove():
        m.register_plugin(Other, os="gamma", platform="g1")
        m.unregister_plugin(os="gamma", platform="g1")

    def add_and_remove_general():
        m.register_plugin(Other, os=GAMMA, platform=G1, chassis_type="stack")
        m.unregister_plugin(os=GAMMA, platform=G1, chassis_type="stack")

    return {
        "construct": PluginManager,
        "get_plugin hit": lambda: m.get_plugin(os="alpha", platform="p1", model="m1"),
        "get_plugin hit, str subclass": lambda: m.get_plugin(os=BETA, platform="p2"),
        "get_plugin not found": lambda: m.get_plugin(os="delta"),
        "get_plugin bad chassis": lambda: m.get_plugin(os="alpha", chassis_type=""),
        "get_plugin unexpected keyword": lambda: m.get_plugin(os="alpha", colour=1),
        "get_plugin too many arguments": lambda: m.get_plugin(*"abcdefgh"),
        "get_plugin unhashable element": lambda: m.get_plugin(os=Unhashable("alpha")),
        "get_plugin failing truth test": lambda: m.get_plugin(os="alpha", platform=BadBool("x")),
        "register_plugin replacing": replace,
        # A path element that is not an exact str: the replacement message by the general
        # formatter, and new levels stored under keys that only the general path takes.
        "register_plugin replacing, general message": lambda: m.register_plugin(
            Conn, os=BETA, platform="p2"
        ),
        "register_plugin + unregister_plugin": add_and_remove,
        "register_plugin + unregister_plugin of the last record, general path": (
            add_and_remove_general
        ),
        "register_plugin reserved element": lambda: m.register_plugin(Conn, os="data"),
        "register_plugin refused model": lambda: m.register_plugin(Conn, "alpha", "p1", "M1"),
        "get_plugin not found, general path": lambda: m.get_plugin(os=BETA, platform="p9"),
        "get_plugin not found, general message": lambda: m.get_plugin(
            os="alpha", platform="p9", chassis_type=STACK
        ),
        "get_plugin not found, an element not a str": lambda: m.get_plugin(
            os="alpha", os_flavor=NUMBER
        ),
        "get_plugin refused model": lambda: m.get_plugin(os="alpha", platform="p1", model="M1"),
        "unregister_plugin missing": lambda: m.unregister_plugin(os="nowhere"),
        "unregister_plugin missing chassis type": lambda: m.unregister_plugin(
            os="alpha", platform="p1", model="m1", chassis_type="stack"
        ),
        "validate_arguments": lambda: m.validate_arguments("alpha", "p1", "m1", "single_rp"),
        "validate_model": lambda: m.validate_model("alpha", "p1", "m1"),
        "validate_model without platform": lambda: m.validate_model("alpha", None, "m1"),
        "validate_model upper case": lambda: m.validate_model("alpha", "p1", "M1"),
        "validate_model upper case, str subclass": lambda: m.validate_model("a", "p", Key("M")),
        "validate_model not a str": lambda: m.validate_model("alpha", "p1", 5),
        "validate_platform": lambda: m.validate_platform("alpha", "p1"),
        "validate_platform without os": lambda: m.validate_platform(None, "p1"),
        "validate_platform upper case": lambda: m.validate_platform("alpha", "P1"),
        "validate_platform not a str": lambda: m.validate_platform("alpha", 5),
        "validate_os unsupported": lambda: m.validate_os("omega"),
        "validate_os unsupported, not a str": lambda: m.validate_os(5),
        "validate_os empty": lambda: m.validate_os(""),
        "validate_chassis_type": lambda: m.validate_chassis_type("dual_rp"),
        "validate_chassis_type unknown": lambda: m.validate_chassis_type("quad"),
        "validate_chassis_type empty": lambda: m.validate_chassis_type(""),
        "plugins": lambda: m.plugins,
        "plugins assigned": lambda: setattr(m, "plugins", {}),
        "print_tree": lambda: m.print_tree(m.plugins),
        "repr": lambda: repr(m),
        "recursion": recursion,
        "discover_builtin_plugins": m.discover_builtin_plugins,
        "discover_external_plugins": m.discover_external_plugins,
    } | plain_operations()


def run(operation, calls):
    for _ in range(calls):
        with contextlib.suppress(Exception):
            operation()


def growth(operation, calls, rounds):
    """The total reference count's growth in each measured round."""
    for _ in range(WARMUP):
        run(operation, calls)
    deltas = []
    for _ in range(rounds):
        before = sys.gettotalrefcount()
        run(operation, calls)
        deltas.append(sys.gettotalrefcount() - before)
    return deltas


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refcheck: this interpreter counts no references; run it under a debug build")
    faulthandler.enable()  # a crash names the operation above and shows where it was
    logging.getLogger("telvar").disabled = True  # the records are built either way
    assert issubclass(pluginmanager.ConnectionInfraError, ConnectionInfraError)
    baseline = growth(lambda: None, args.calls, args.rounds)
    found = {"leak": [], "over-release": []}
    all_operations = operations()
    for name, operation in all_operations.items():
        print(f"{name}: ", end="", flush=True)
        deltas = [
            d - b for d, b in zip(growth(operation, args.calls, args.rounds), baseline, strict=True)
        ]
        verdict = (
            "leak"
            if all(d > 0 for d in deltas)
            else "over-release"
            if all(d < 0 for d in deltas)
            else None
        )
        print(f"{deltas}{f'  {verdict.upper()}' if verdict else ''}")
        if verdict:
            found[verdict].append(name)
    failures = []
    if found["leak"]:
        failures.append(
            f"references leak in {len(found['leak'])} operations (the total grows in every"
            f" round): {', '.join(found['leak'])}"
        )
    if found["over-release"]:
        failures.append(
            f"references are released once too often in {len(found['over-release'])} operations"
            f" (the total shrinks in every round; without the held references the object would"
            f" be freed while still in use): {', '.join(found['over-release'])}"
        )
    if failures:
        print("\n".join(f"refcheck: {failure}" for failure in failures), file=sys.stderr)
        sys.stderr.flush()
        sys.stdout.flush()
        # Not through finalisation: after an over-release, freeing the held references would
        # free objects that are still in use, and the debug interpreter would abort.
        os._exit(1)
    print(f"refcheck: no leak and no over-release in {len(all_operations)} operations")


if __name__ == "__main__":
    main()
