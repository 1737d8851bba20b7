"""Nanoseconds per call of the native plugin manager against a plain-Python one.

Run with ``make bench``. The pure-Python manager is the tests' reference
(tests/reference.py): the straightforward implementation of the same
operations, plain methods with defaults, the same validation order and
messages, the same registry walk.
"""

import argparse
import enum
import os
import platform
import subprocess
import sys
import timeit
import warnings

warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from reference import ReferenceManager as PurePluginManager  # noqa: E402

from telvar.core.errors import ConnectionInfraError  # noqa: E402
from telvar.core.pluginmanager import PluginManager  # noqa: E402


class Conn:
    """A connection class to register."""


class OtherConn:
    """Another connection class to register."""


class Key(str):
    """A str subclass as a key: the renderer's general path."""


class Call:
    """One method call, timed as a caller's loop makes it: `obj.name(arg, ...)`, with no Python
    function around it."""

    def __init__(self, obj, name, *args):
        self.obj, self.name, self.args = obj, name, args

    def __call__(self):
        return getattr(self.obj, self.name)(*self.args)

    def statement(self):
        """The call as source, and the names it reads (locals of the timing loop)."""
        names = [f"arg{index}" for index in range(len(self.args))]
        return f"obj.{self.name}({', '.join(names)})", {
            "obj": self.obj,
            **dict(zip(names, self.args, strict=True)),
        }


def timer(operation):
    if not isinstance(operation, Call):
        return timeit.Timer(operation)
    statement, values = operation.statement()
    # Bound as locals of timeit's loop function, as a caller's own variables are.
    setup = "; ".join(f"{name} = _values[{name!r}]" for name in values)
    return timeit.Timer(statement, setup=setup, globals={"_values": values})


def deep_chain(depth):
    """A tree one key wide and `depth` levels deep; its text grows with the square of the depth,
    and a renderer that copied each child's block into its parent's would grow with the cube."""
    tree = "x"
    for _ in range(depth):
        tree = {Key("k"): tree}
    return tree


def copy_of(text):
    """An equal str that is another object, as argv, a file or JSON gives it."""
    return text.encode().decode()


Member = enum.StrEnum("Member", {name: name for name in ("alpha", "plat1", "m1", "flav")})

# The device of the lookups, as the tree's own key objects, as equal copies and as members of
# a StrEnum (a str subclass).
DEVICE = ("alpha", "plat1", "m1", "flav")
DEVICE_KINDS = {
    "own keys": DEVICE,
    "equal copies": tuple(copy_of(text) for text in DEVICE),
    "StrEnum members": tuple(Member[text] for text in DEVICE),
}


def beside(manager_class, siblings):
    """The hit's registration with `siblings` other OSes beside it at the root."""
    manager = manager_class()
    for index in range(siblings):
        manager.register_plugin(Conn, os=f"os{index}")
    manager.register_plugin(Conn, *DEVICE)
    return manager


def filled(manager_class, records):
    manager = manager_class()
    count = 0
    for os_name in ("alpha", "beta"):
        for p in range(50):
            for m in range(records // 100):
                manager.register_plugin(Conn, os=os_name, platform=f"p{p}", model=f"m{m}")
                count += 1
    return manager


def per_call_ns(native, pure, number, repeat=7):
    """Best time per call of each, measured alternately so both see the same machine."""
    native_timer, pure_timer = timer(native), timer(pure)
    native_best = pure_best = float("inf")
    for _ in range(repeat):
        native_best = min(native_best, native_timer.timeit(number))
        pure_best = min(pure_best, pure_timer.timeit(number))
    return native_best / number * 1e9, pure_best / number * 1e9


def operations(manager_class, quick, only=None):
    """(label, operation, number of calls) of each row, or of the row labelled `only`. Each
    row's objects are made when it is taken, so that measuring one row pays for its set-up
    alone."""
    made = {}

    def once(key, make):
        if key not in made:
            made[key] = make()
        return made[key]

    def registered(*device):
        """A manager with Conn registered for `device` (positional arguments)."""

        def make():
            manager = manager_class()
            manager.register_plugin(Conn, *device)
            return manager

        return once(device, make)

    def hit():
        return registered(*DEVICE)

    def external():
        # An OS that an external plugin serves: outside supported_os, so each validation
        # writes a debug record.
        return registered("gamma", "plat1", "m1", "flav")

    def get_miss():
        manager = hit()

        def call():
            try:
                manager.get_plugin("beta", "plat9")
            except ConnectionInfraError:
                pass

        return call

    def unregister_register():
        manager = registered("alpha", "plat1")

        def call():
            manager.unregister_plugin("alpha", "plat1", chassis_type="single_rp")
            manager.register_plugin(OtherConn, "alpha", "plat1")

        return call

    def big():
        return once("big", lambda: filled(manager_class, 10_000))

    # Each operation that is one call is timed as that call alone, as a caller's loop makes it.
    rows = [
        ("get_plugin, four-level hit", lambda: Call(hit(), "get_plugin", *DEVICE), 200_000),
        (
            "get_plugin, equal copies",
            lambda: Call(hit(), "get_plugin", *DEVICE_KINDS["equal copies"]),
            200_000,
        ),
        *[
            (
                f"get_plugin, {kind}, {f'{width:,}'.replace(',', ' ')} other OSes",
                lambda width=width, device=device: Call(
                    once(width, lambda: beside(manager_class, width)), "get_plugin", *device
                ),
                200_000,
            )
            for kind, device in DEVICE_KINDS.items()
            for width in (10, 1_000, 10_000)
        ],
        ("get_plugin, not found", get_miss, 100_000),
        (
            "get_plugin, OS outside supported_os, a hit",
            lambda: Call(external(), "get_plugin", "gamma", "plat1", "m1", "flav"),
            100_000,
        ),
        (
            "validate_arguments",
            lambda: Call(hit(), "validate_arguments", "alpha", "plat1", "m1", "single_rp"),
            200_000,
        ),
        (
            "validate_arguments, OS outside supported_os",
            lambda: Call(external(), "validate_arguments", "gamma", "plat1", "m1", "single_rp"),
            100_000,
        ),
        (
            "register_plugin, replacing",
            lambda: Call(registered("alpha", "plat1"), "register_plugin", Conn, "alpha", "plat1"),
            50_000,
        ),
        ("unregister_plugin + register_plugin", unregister_register, 50_000),
        ("print_tree, 10 000 records", lambda: Call(big(), "print_tree", big().plugins), 20),
        ("repr, 10 000 records", lambda: Call(big(), "__repr__"), 20),
        (
            "print_tree, 500 levels, str-subclass keys",
            lambda: Call(manager_class(), "print_tree", deep_chain(500)),
            100,
        ),
    ]
    scale = 10 if quick else 1
    return [
        (label, make(), max(2, number // scale))
        for label, make, number in rows
        if only is None or label == only
    ]


IMPORT_PROBE = """
import time, warnings
warnings.filterwarnings("ignore")
import pkg_resources, os, pkgutil, importlib, inspect
import telvar, telvar.plugins, telvar.core.errors
start = time.perf_counter_ns()
import telvar.core.pluginmanager
print(time.perf_counter_ns() - start)
"""


def import_time_ns(runs):
    samples = []
    for _ in range(runs):
        out = subprocess.run(
            [sys.executable, "-c", IMPORT_PROBE], capture_output=True, text=True, check=True
        )
        samples.append(int(out.stdout.strip()))
    return min(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations (a smoke run)")
    args = parser.parse_args()

    native_ops = operations(PluginManager, args.quick)
    pure_ops = operations(PurePluginManager, args.quick)
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores")
    print(f"{'operation':44} {'native ns':>12} {'Python ns':>12} {'ratio':>7}")
    for (label, native, number), (_, pure, _) in zip(native_ops, pure_ops, strict=True):
        native_ns, pure_ns = per_call_ns(native, pure, number)
        print(f"{label:44} {native_ns:12.0f} {pure_ns:12.0f} {pure_ns / native_ns:6.1f}x")
    ns = import_time_ns(3 if args.quick else 15)
    print(f"{'module import beyond pkg_resources':44} {ns:12.0f}")


if __name__ == "__main__":
    main()
