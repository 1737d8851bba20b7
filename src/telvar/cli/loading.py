"""What a command that loads plugins works on: the device options, the plugin manager,
the plugins loaded, and what loading them met."""

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from telvar.cli.output import (
    EXIT_LOAD,
    CommandError,
    _active,
    clipped,
    describe_exception,
    did_you_mean,
    err,
    errors,
    quoted,
)
from telvar.plugins import supported_chassis
from telvar.registry import (
    DEFAULT_CHASSIS,
    class_name,
    walk_records,
)

if TYPE_CHECKING:
    from telvar import inventory
    from telvar.core.pluginmanager import PluginManager


Device = dict[str, Any]


DISABLE_VARIABLE = "TELVAR_DISABLE_PLUGINS"
PREFER_VARIABLE = "TELVAR_PREFER"


# Per device field: its options (the first one is named in messages) and their help.
DEVICE_OPTIONS: dict[str, tuple[tuple[str, ...], str]] = {
    "os": (("--os",), "operating system, e.g. alpha"),
    "platform": (("--platform",), "platform (lower case)"),
    "model": (("--model",), "model (lower case or digits; needs --platform)"),
    "os_flavor": (("--os-flavor", "--os-flavour"), "OS flavour (--os-flavour is the same option)"),
    "chassis_type": (("--chassis-type",), ""),  # its help: chassis_help
}


Choices = dict[str, tuple[str, ...]]  # per option: the values the loaded registry offers


def chassis_help(choices: Sequence[str]) -> str:
    return "one of {%s} (default: %s)" % (",".join(choices), DEFAULT_CHASSIS)


def registry_choices() -> Choices:
    """The values of the options as the installed plugins make them: OSes, platforms,
    models, flavours and chassis types registered, plugin and distribution names.
    Plugins are loaded quietly; nothing is offered if they cannot be."""
    try:
        manager = import_manager(quiet=True)
        loaded = load_plugins(manager, strict=False, quiet=2, disabled=named_in(DISABLE_VARIABLE))
    except Exception:
        return {}
    places = [(path, chassis_type) for path, chassis_type, _ in walk_records(manager.plugins)]

    def values(depth: int) -> tuple[str, ...]:
        # By depth: the same in every run, whichever level a registration named.
        return tuple(sorted({str(path[depth]) for path, _ in places if len(path) > depth}))

    chassis = [
        *supported_chassis,
        *getattr(manager, "chassis_type_list", ()),
        *sorted({str(chassis_type) for _, chassis_type in places}),
    ]
    dists = sorted({load.source.name for load in loaded.plugins if load.source.dist is not None})
    return {
        "--os": values(0),
        "--platform": values(1),
        "--model": values(2),
        "--os-flavor": tuple(sorted({*values(1), *values(2), *values(3)})),
        "--chassis-type": tuple(dict.fromkeys(map(str, chassis))),
        "--disable": tuple(dict.fromkeys([*sorted(load.name for load in loaded.plugins), *dists])),
        "--prefer": tuple(dists),
    }


def named_in(variable: str) -> list[str]:
    return [name.strip() for name in os.environ.get(variable, "").split(",") if name.strip()]


def flag(field: str) -> str:
    """The option that gives a device field, as messages name it."""
    return DEVICE_OPTIONS[field][0][0]


def enable_debug_log() -> Callable[[], None]:
    import logging

    from telvar import log

    if sys.stderr is None:
        return lambda: None
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    log.addHandler(handler)
    previous_level = log.level
    log.setLevel(logging.DEBUG)

    def disable() -> None:
        log.removeHandler(handler)
        log.setLevel(previous_level)

    return disable


@contextlib.contextmanager
def debug_log(args: argparse.Namespace) -> Iterator[None]:
    disable = enable_debug_log() if args.debug else None
    try:
        yield
    finally:
        if disable is not None:
            disable()


def import_manager(quiet: bool = False) -> "PluginManager":
    """The shared plugin manager. A missing or broken pkg_resources, for which telvar stands
    in, is one warning line naming the repair; one that even the stand-in cannot replace
    (blocked, or its own import raised) is one error line naming it."""
    try:
        from telvar.core import pluginmanager
        from telvar.manager import plugin_manager
    except Exception as exc:
        if not from_pkg_resources(exc):
            raise
        from telvar import _pkg_resources as stand_in

        message = (
            f"error: the plugin manager cannot import pkg_resources, which is missing or "
            f"broken ({describe_exception(exc)}); repair it: {stand_in.repair_command()}"
        )
        raise CommandError(message, EXIT_LOAD, cause=exc) from exc
    # The stand-in is imported only where it stands in: a module not loaded serves nobody.
    stand_in = sys.modules.get("telvar._pkg_resources")
    if (
        not quiet
        and stand_in is not None
        and getattr(pluginmanager, "iter_entry_points", None) is stand_in.iter_entry_points
    ):
        err(f"telvar: warning: {stand_in.describe()}")
    return plugin_manager


def from_pkg_resources(exc: Exception) -> bool:
    """Whether an import failed for want of a working ``pkg_resources``: it is missing, it
    lacks what the manager takes from it, or its own import raised."""
    if isinstance(exc, ImportError) and exc.name == "pkg_resources":
        return True
    traceback = exc.__traceback__
    while traceback is not None:
        filename = traceback.tb_frame.f_code.co_filename
        if "pkg_resources" in filename.replace("\\", "/").split("/"):
            return True
        traceback = traceback.tb_next
    return False


def disabled_plugins(args: argparse.Namespace) -> list[str]:
    """The names of the plugins the command must not load: the variable's and the options'."""
    return named(args, DISABLE_VARIABLE, "disable")


def preferred(args: argparse.Namespace) -> list[str]:
    """The distributions whose records win where several provide one, first first."""
    return named(args, PREFER_VARIABLE, "prefer")


def named(args: argparse.Namespace, variable: str, option: str) -> list[str]:
    given = [
        os.environ.get(variable, ""),
        *getattr(args, option, []),
        *getattr(args, option + "_after", []),
    ]
    return [name.strip() for text in given for name in text.split(",") if name.strip()]


def load_plugins(
    manager: "PluginManager",
    strict: bool,
    quiet: int = 0,
    disabled: Sequence[str] = (),
    progress: bool = False,
    prefer: Sequence[str] = (),
) -> "inventory.Inventory":
    """The built-in plugins, then every external one on its own; failures are reported."""
    from telvar import inventory

    def warn(text: object) -> None:
        if quiet < 1:
            err(f"telvar: warning: {text}")

    def replaced(replacement: "inventory.Replacement") -> None:
        # A record whose winner the user chose is settled: nothing to warn about.
        from telvar.origins import label_named

        labels = (replacement.origin, replacement.previous_origin)
        if not any(label_named(label, name) for label in labels for name in prefer):
            warn(replacement)

    def report(failure: inventory.LoadFailure) -> None:
        way_out = f"--debug shows the traceback, --disable {failure.name} skips it"
        if strict:
            err(f"telvar: error: {failure}; {way_out}")
        elif quiet < 2:
            err(f"telvar: warning: {failure}; {way_out}")

    loaded = inventory.Inventory(manager, on_warning=warn)
    if _active:
        loaded.after_load = _active[-1].check
    shown = Progress() if progress else None
    if shown is not None:
        loaded.before_load = shown.step
    try:
        loaded.load_builtin()
    except Exception as exc:
        message = f"error: a built-in plugin failed to import: {describe_exception(exc)}"
        raise CommandError(message, EXIT_LOAD, cause=exc) from exc
    try:
        loaded.load_external(on_failure=report, on_replacement=replaced, disabled=disabled)
    except KeyboardInterrupt:
        if loaded.loading is not None:
            err(f"telvar: interrupted while loading plugin {loaded.loading!r}")
        raise
    finally:
        if shown is not None:
            shown.clear()

    def known() -> list[str]:  # read only for a name that is unknown: labels read metadata
        dists = {load.source.name for load in loaded.plugins if load.source.dist is not None}
        return [load.name for load in loaded.plugins] + sorted(dists)

    for name in dict.fromkeys(disabled):
        if name not in loaded.disabled_names:
            warn(f"no plugin named {quoted(name)} to disable{did_you_mean(name, known())}")
    chosen = loaded.prefer(prefer)
    for name in dict.fromkeys(prefer):
        if name not in chosen:
            warn(f"no distribution named {quoted(name)} to prefer{did_you_mean(name, known())}")
    return loaded


class Progress:
    """The plugin being loaded, on a terminal's standard error, once discovery has taken
    more than a second: a slow or hanging plugin is named while it loads."""

    DELAY = 1.0

    def __init__(self) -> None:
        import threading

        self.count = 0
        self.name = ""
        self.shown = False
        self.lock = threading.Lock()
        self.timer = threading.Timer(self.DELAY, self.show)
        self.timer.daemon = True
        self.timer.start()

    def step(self, name: str) -> None:
        with self.lock:
            self.count, self.name = self.count + 1, name
        if self.shown:
            self.show()

    def show(self) -> None:
        with self.lock:
            if self.name:
                self.shown = True
                self.write(f"\rtelvar: loading plugin {clipped(self.name)} ({self.count})\x1b[K")

    def clear(self) -> None:
        self.timer.cancel()
        with self.lock:
            if self.shown:
                self.write("\r\x1b[K")
            self.name = ""

    def write(self, text: str) -> None:
        stream = errors()
        if stream is not None:
            with contextlib.suppress(Exception):
                stream.write(text)
                stream.flush()


def on_terminal(args: argparse.Namespace) -> bool:
    """Whether progress may be shown: standard error is a terminal, and no JSON is asked."""
    stream = errors()
    try:
        return stream is not None and stream.isatty() and not args.json and args.quiet < 2
    except Exception:
        return False


class Context(NamedTuple):
    """What a command works on: its arguments, the device options, the loaded plugins."""

    args: argparse.Namespace
    device: Device
    manager: "PluginManager"
    loaded: "inventory.Inventory"

    @property
    def given(self) -> Device:
        return {name: value for name, value in self.device.items() if value is not None}


def diagnostics(loaded: "inventory.Inventory") -> dict[str, Any]:
    """What loading the plugins met, as data: failures, disabled plugins, replacements."""
    return {
        "failures": [
            {
                "plugin": failure.name,
                "value": failure.value,
                "origin": failure.origin,
                "error": describe_exception(failure.error),
                "undone": failure.undone,
            }
            for failure in loaded.failures
        ],
        "disabled": list(loaded.skipped),
        "replacements": [
            {
                "at": list(replacement.slot[0]),
                "chassis_type": replacement.slot[1],
                "class": class_name(replacement.cls),
                "origin": replacement.origin,
                "replaced": class_name(replacement.previous),
                "replaced_origin": replacement.previous_origin,
            }
            for replacement in loaded.replacements
        ],
    }


def record_json(cls: Any, path: object, loaded: "inventory.Inventory") -> dict[str, Any]:
    return {
        "class": class_name(cls),
        "module": getattr(cls, "__module__", None),
        "file": path,
        "origin": loaded.origin(cls, path),
    }
