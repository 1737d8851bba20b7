"""The ``telvar`` command: the plugin registry, and which plugin serves a device.

telvar [tree]                                 # the registry as a tree (--json)
telvar resolve --os alpha --platform edge     # the class that serves a device (--json)
telvar list                                   # one row per record, with its origin (--json)
telvar list --conflicts                       # records that several distributions provide
telvar explain --os alpha --model e9 ...      # the lookup, step by step (--json)
telvar completion bash|zsh|fish               # a shell completion script
telvar --os alpha                             # device options alone: resolve

Exit codes: 0 success, 1 no plugin serves the device (or no record matches),
2 usage error or refused input, 3 a plugin failed to load (under --strict), a
built-in one failed to import or the plugin manager cannot be imported, 4 an
unexpected error, 5 standard output closed or not writable, 130 interrupted,
141 stdout closed early by its reader.

Standard output carries the command's own output and nothing else: while the
command runs, whatever else is written there (a plugin's print(), a
subprocess's output) goes to standard error.
"""

import argparse
import contextlib
import io
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import IO, TYPE_CHECKING, Any, NamedTuple, NoReturn

from telvar.plugins import supported_chassis
from telvar.registry import (
    CLS,
    DATA,
    DEFAULT_CHASSIS,
    DEVICE_FIELDS,
    PATH,
    class_name,
    node_name,
    validators,
    walk_records,
)
from telvar.tracing import Trace, trace_lookup

if TYPE_CHECKING:
    from telvar import inventory
    from telvar.core.pluginmanager import PluginManager

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_LOAD = 3
EXIT_UNEXPECTED = 4
EXIT_NO_OUTPUT = 5
EXIT_BROKEN_PIPE = 128 + 13  # as for a process that SIGPIPE ended
EXIT_INTERRUPTED = 128 + 2

GLOBAL_DEVICE = "global_"  # dest prefix of the device options given before any subcommand
SHELLS = ("bash", "zsh", "fish")
ECHO_LIMIT = 40  # characters of a value echoed in a message
NAMES_LIMIT = 12  # registered OSes named in a message
DISABLE_VARIABLE = "TELVAR_DISABLE_PLUGINS"
LOAD_ORDER_RULE = (
    "The plugin loaded last wins: telvar's own plugins load first, then the entry points "
    "in the order of sys.path and, within one folder, of the distributions' names"
)
NO_MATCH = "no registered record matches these device options"

Device = dict[str, Any]


class CommandError(Exception):
    """Reported as ``telvar: <message>`` on stderr; ends the command with ``code``."""

    def __init__(self, message: str, code: int, cause: BaseException | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.cause = cause


class OutputError(Exception):
    """Standard output failed (other than by a closed pipe): reported by ``main``."""


# The command's own streams while it runs (see CommandOutput).
_active: list["CommandOutput"] = []


def emit(text: object = "", end: str = "\n") -> None:
    """Print to the command's standard output; a failure to write is an ``OutputError``."""
    try:
        print(text, end=end, file=_active[-1].stream if _active else sys.stdout)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(str(exc)) from exc


def describe_exception(exc: BaseException) -> str:
    """``Type: message``, or the type alone when the message is empty."""
    try:
        text = str(exc)
    except Exception:
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def errors() -> IO[str] | None:
    """The command's standard error: the one it started with, whatever a plugin put in
    ``sys.stderr`` since."""
    return _active[-1].errors if _active else sys.stderr


def err(text: str) -> None:
    """A line on standard error, if there is one: never on standard output."""
    stream = errors()
    if stream is not None:
        with contextlib.suppress(Exception):
            print(text, file=stream, flush=True)


def print_traceback(exc: BaseException) -> None:
    stream = errors()
    if stream is not None:
        import traceback

        with contextlib.suppress(Exception):
            traceback.print_exception(exc, file=stream)


class Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def _print_message(self, message: str, file: Any = None) -> None:
        # Help and version text: a failed write is reported, not ignored as argparse does.
        if message and (file is None or file is sys.stdout):
            emit(message, end="")
        elif message:
            err(message.rstrip("\n"))

    def error(self, message: str) -> NoReturn:
        raise CommandError(f"error: {message} (see '{self.prog} --help')", EXIT_USAGE)


def version() -> str:
    # The name of the installed metadata folder says it: no need for importlib.metadata.
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with contextlib.suppress(OSError):
        for name in os.listdir(here):
            if name.startswith("telvar-") and name.endswith(".dist-info"):
                return name.removeprefix("telvar-").removesuffix(".dist-info")
    from importlib import metadata

    try:
        return metadata.version("telvar")
    except (metadata.PackageNotFoundError, ValueError):
        return "unknown"


def clipped(text: str) -> str:
    """``text``, cut to a readable length."""
    if len(text) <= ECHO_LIMIT:
        return text
    return f"{text[:ECHO_LIMIT]}... ({len(text)} characters)"


def quoted(value: object) -> str:
    """A value given on the command line, quoted and cut to a readable length."""
    text = str(value)
    if len(text) <= ECHO_LIMIT:
        return repr(text)
    return f"{text[:ECHO_LIMIT]!r}... ({len(text)} characters)"


# Per device field: its options (the first one is named in messages) and their help.
DEVICE_OPTIONS: dict[str, tuple[tuple[str, ...], str]] = {
    "os": (("--os",), "operating system, e.g. alpha"),
    "platform": (("--platform",), "platform (lower case)"),
    "model": (("--model",), "model (lower case or digits; needs --platform)"),
    "os_flavor": (("--os-flavor", "--os-flavour"), "OS flavour (--os-flavour is the same option)"),
    "chassis_type": (
        ("--chassis-type",),
        "one of {%s} (default: %s)" % (",".join(supported_chassis), DEFAULT_CHASSIS),
    ),
}


def flag(field: str) -> str:
    """The option that gives a device field, as messages name it."""
    return DEVICE_OPTIONS[field][0][0]


def add_device_options(parser: argparse.ArgumentParser, title: str, dest_prefix: str) -> None:
    device = parser.add_argument_group(title)
    for name in DEVICE_FIELDS:
        flags, text = DEVICE_OPTIONS[name]
        device.add_argument(
            *flags,
            dest=dest_prefix + name,
            metavar=name.upper(),
            help=text,
            # After a command, an option left out keeps the value given before it.
            default=None if dest_prefix else argparse.SUPPRESS,
        )


def add_global_options(parser: argparse.ArgumentParser, after_command: bool) -> None:
    default = argparse.SUPPRESS if after_command else False
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default,
        help="write telvar's debug log to stderr, and the traceback of an unexpected error",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        default=default,
        help="a plugin that fails to load is an error (exit code 3), not a warning",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="count",
        default=argparse.SUPPRESS if after_command else 0,
        help="-q: no warnings about replaced records and other notes; -qq: no warnings at all "
        "(plugins that failed, device options that matched nothing)",
    )
    parser.add_argument(
        "--disable",
        action="append",
        dest="disable_after" if after_command else "disable",
        default=[],
        metavar="NAME",
        help=f"do not load the plugin (entry point) NAME; repeatable, or NAME,NAME "
        f"(also: {DISABLE_VARIABLE}=NAME,...)",
    )


EXIT_CODES_HELP = (
    "exit codes: 0 success, 1 no plugin serves the device or no record matches, 2 usage "
    "error or refused input, 3 a plugin failed to load (--strict), a built-in plugin failed "
    "to import or the plugin manager cannot be imported, 4 an unexpected error, 5 standard "
    "output closed or not writable"
)


def build_parser() -> Parser:
    parser = Parser(
        prog="telvar",
        description=(
            "Load telvar's built-in connection plugins and those that installed "
            "distributions advertise (entry-point group 'telvar.plugins'), then "
            "show the registry or the plugin that serves a device. Without a "
            "command: the tree, or with device options, resolve. Device options "
            "select the device for resolve and explain, and the records for tree and list."
        ),
        epilog=EXIT_CODES_HELP,
    )
    parser.add_argument("-V", "--version", action="version", version=f"telvar {version()}")
    add_global_options(parser, after_command=False)
    add_device_options(parser, "device (before or after the command)", GLOBAL_DEVICE)

    # The global options are accepted after a command too; unless given there,
    # they keep the value parsed before it.
    common = Parser(add_help=False)
    add_global_options(common, after_command=True)
    json_option = Parser(add_help=False)
    json_option.add_argument("--json", action="store_true", help="print JSON")

    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in COMMANDS:
        sub = subparsers.add_parser(
            command.name,
            parents=[common, json_option] if command.loads_plugins else [common],
            help=command.summary,
            description=command.summary,
            epilog=f"example: {command.example}",
            allow_abbrev=False,
        )
        if command.loads_plugins:
            add_device_options(sub, "device", "")
        if command.arguments is not None:
            command.arguments(sub)
    return parser


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
    """The entry-point names the command must not load: the variable's and the options'."""
    given = [
        os.environ.get(DISABLE_VARIABLE, ""),
        *args.disable,
        *getattr(args, "disable_after", []),
    ]
    return [name.strip() for text in given for name in text.split(",") if name.strip()]


def load_plugins(
    manager: "PluginManager", strict: bool, quiet: int = 0, disabled: Sequence[str] = ()
) -> "inventory.Inventory":
    """The built-in plugins, then every external one on its own; failures are reported."""
    from telvar import inventory

    def warn(text: object) -> None:
        if quiet < 1:
            err(f"telvar: warning: {text}")

    def report(failure: inventory.LoadFailure) -> None:
        way_out = f"--debug shows the traceback, --disable {failure.name} skips it"
        if strict:
            err(f"telvar: error: {failure}; {way_out}")
        elif quiet < 2:
            err(f"telvar: warning: {failure}; {way_out}")

    loaded = inventory.Inventory(manager, on_warning=warn)
    if _active:
        loaded.after_load = _active[-1].check
    try:
        loaded.load_builtin()
    except Exception as exc:
        message = f"error: a built-in plugin failed to import: {describe_exception(exc)}"
        raise CommandError(message, EXIT_LOAD, cause=exc) from exc
    loaded.load_external(on_failure=report, on_replacement=warn, disabled=disabled)
    known = [load.name for load in loaded.plugins] + sorted(
        {load.source.name for load in loaded.plugins if load.source.dist is not None}
    )
    for name in dict.fromkeys(disabled):
        if name not in loaded.disabled_names:
            warn(f"no plugin named {quoted(name)} to disable{did_you_mean(name, known)}")
    return loaded


def did_you_mean(given: object, names: Sequence[str]) -> str:
    """``; did you mean 'NAME'?`` for the name closest to ``given``, or nothing."""
    wanted = str(given)
    close = [name for name in names if name.casefold() == wanted.casefold()]
    if not close and len(wanted) <= 4 * ECHO_LIMIT:
        import difflib

        close = difflib.get_close_matches(wanted, names, n=1)
    return f"; did you mean {quoted(close[0])}?" if close else ""


class Context(NamedTuple):
    """What a command works on: its arguments, the device options, the loaded plugins."""

    args: argparse.Namespace
    device: Device
    manager: "PluginManager"
    loaded: "inventory.Inventory"

    @property
    def given(self) -> Device:
        return {name: value for name, value in self.device.items() if value is not None}


def refused_option(manager: "PluginManager", lookup: Device) -> str:
    """The line naming the option the manager refused, in its validation order."""
    from telvar.core.errors import ConnectionInfraError

    for name, fields in validators(lookup["os"]):
        try:
            getattr(manager, "validate_" + name)(**{key: lookup[key] for key in fields})
        except ConnectionInfraError:
            line = f"refused: {flag(name)} {quoted(lookup[name])}"
            if name == "chassis_type":
                line += f"; choose from {', '.join(map(str, supported_chassis))}"
            return line
    return "refused input"


def manager_message(exc: BaseException, device: Device) -> str:
    """The manager's own message, with over-long values given by the user cut short."""
    text = str(exc).rstrip()
    for value in device.values():
        if isinstance(value, str) and len(value) > ECHO_LIMIT:
            text = text.replace(value, clipped(value))
    return text


def checked_device(manager: "PluginManager", device: Device) -> Device:
    """The lookup arguments, refused (exit code 2) when the manager would refuse them."""
    from telvar.core.errors import ConnectionInfraError

    lookup = dict(device)
    if lookup["chassis_type"] is None:
        lookup["chassis_type"] = DEFAULT_CHASSIS
    try:
        manager.validate_arguments(
            lookup["os"], lookup["platform"], lookup["model"], lookup["chassis_type"]
        )
    except ConnectionInfraError as exc:
        message = f"{manager_message(exc, lookup)}\ntelvar: {refused_option(manager, lookup)}"
        raise CommandError(message, EXIT_USAGE) from exc
    return lookup


def registered_hint(manager: "PluginManager", os_name: object) -> str:
    """The OSes that have plugins, and the one closest to ``os_name``."""
    names = sorted(str(key) for key in manager.plugins)
    return f"registered: {named_list(names)}{did_you_mean(os_name, names)}"


def named_list(names: Sequence[str]) -> str:
    """Names for a message: the first ``NAMES_LIMIT``, then how many more."""
    shown = [clipped(name) for name in names[:NAMES_LIMIT]]
    if len(names) > NAMES_LIMIT:
        shown.append(f"and {len(names) - NAMES_LIMIT} more")
    return ", ".join(shown) or "none"


def explain_command(given: Device) -> str:
    """How to see the steps of a lookup: the explain command with the same device options."""
    if any(len(str(value)) > ECHO_LIMIT for value in given.values()):
        return "run telvar explain with the same options"
    import shlex

    words = ["telvar", "explain"]
    for name, value in given.items():
        words += [flag(name), shlex.quote(str(value))]
    return " ".join(words)


def stopped_hint(context: Context, lookup: Device) -> str:
    """Where a lookup that found nothing stopped, and what is registered there."""
    trace = trace_lookup(context.manager.plugins, **lookup)
    at = clipped(node_name(trace.node))
    if not trace.registered:
        there = f"{at}, where no chassis type is registered"
    else:
        names = ", ".join(clipped(str(name)) for name in trace.registered)
        verb = "is" if len(trace.registered) == 1 else "are"
        there = f"{at}, where only {names} {verb} registered"
    return f"the lookup stopped at {there}; to see each step: {explain_command(context.given)}"


def record_json(cls: Any, path: object, loaded: "inventory.Inventory") -> dict[str, Any]:
    return {
        "class": class_name(cls),
        "module": getattr(cls, "__module__", None),
        "file": path,
        "origin": loaded.origin(cls, path),
    }


def print_json(value: object) -> None:
    import json

    emit(json.dumps(value, indent=2, default=str))


def matches(row: Mapping[str, object], given: Device) -> bool:
    """Whether a record's row has every level the device options give."""
    return all(str(row[name]) == value for name, value in given.items())


def selected(context: Context) -> dict[Any, Any]:
    """The registry tree, or a copy that holds only the records the device options select."""
    tree = context.manager.plugins
    if not context.given:
        return tree
    kept: dict[Any, Any] = {}
    for path, chassis_type, record in walk_records(tree):
        if matches(context.loaded.row(path, chassis_type, record), context.given):
            node = kept
            for element in path:
                node = node.setdefault(element, {})
            node.setdefault(DATA, {})[chassis_type] = record
    return kept


def tree_json(node: dict[Any, Any], loaded: "inventory.Inventory") -> dict[str, Any]:
    """A node as nested objects; a data map holds each record's class, module, file, origin."""
    out: dict[str, Any] = {}
    for key in sorted(node, key=str):
        value = node[key]
        if key == DATA and isinstance(value, dict):
            out[DATA] = {
                str(chassis_type): record_json(record.get(CLS), record.get(PATH), loaded)
                for chassis_type, record in sorted(value.items(), key=lambda item: str(item[0]))
                if isinstance(record, dict)
            }
        elif isinstance(value, dict):
            out[str(key)] = tree_json(value, loaded)
    return out


def no_match(empty_json: object, as_json: bool) -> int:
    """Device options that select no record: said on stderr, exit code 1."""
    if as_json:
        print_json(empty_json)
    err(f"telvar: {NO_MATCH}")
    return EXIT_NOT_FOUND


def show_tree(context: Context) -> int:
    manager = context.manager
    tree = selected(context)
    if context.given and not tree:
        return no_match({}, context.args.json)
    if context.args.json:
        print_json(tree_json(tree, context.loaded))
    elif not tree:
        emit("No connection plugins are registered.")
    else:
        # The heading of repr(manager), without the address, so that two runs compare.
        heading = f"plugins ({type(manager)!r})"
        try:
            emit(manager.print_tree(data=tree, output=heading))
        except TypeError:  # keys that do not sort together (a plugin's os=5): shown as text
            emit(manager.print_tree(data=text_keys(tree, {}), output=heading))
    return EXIT_OK


def text_keys(node: dict[Any, Any], done: dict[int, dict[str, Any]]) -> dict[str, Any]:
    """A copy of a tree whose keys are all text, sharing and cycles kept."""
    if id(node) in done:
        return done[id(node)]
    copy: dict[str, Any] = {}
    done[id(node)] = copy
    for key, value in node.items():
        copy[key if isinstance(key, str) else repr(key)] = (
            text_keys(value, done) if isinstance(value, dict) else value
        )
    return copy


def resolve(context: Context) -> int:
    from telvar.core.errors import ConnectionInfraError

    manager = context.manager
    lookup = checked_device(manager, context.device)
    try:
        cls = manager.get_plugin(**lookup)
    except ConnectionInfraError as exc:
        if lookup["os"] not in manager.plugins:
            hint = registered_hint(manager, lookup["os"])
            message = f"no plugin for os {quoted(lookup['os'])}; {hint}"
            raise CommandError(message, EXIT_NOT_FOUND) from exc
        message = f"{manager_message(exc, lookup)}\ntelvar: {stopped_hint(context, lookup)}"
        raise CommandError(message, EXIT_NOT_FOUND) from exc
    unmatched = unmatched_options(context, lookup)
    if unmatched and context.args.exact:
        lines = "\ntelvar: ".join(str(option) for option in unmatched)
        raise CommandError(f"{lines} (--exact)", EXIT_NOT_FOUND)
    import inspect

    path = inspect.getfile(cls)
    if context.args.json:
        found = record_json(cls, path, context.loaded)
        found["unmatched"] = [option._asdict() for option in unmatched]
        print_json(found | {"diagnostics": diagnostics(context.loaded)})
        return EXIT_OK
    if context.args.quiet < 2:
        for option in unmatched:
            err(f"telvar: warning: {option}")
    emit(class_name(cls))
    emit(f"  from {path}")
    return EXIT_OK


class Unmatched(NamedTuple):
    """A device option whose element the lookup skipped: it fell back past it."""

    option: str
    value: Any
    at: list[Any]  # the path of the node the lookup stayed at
    did_you_mean: str | None

    def __str__(self) -> str:
        hint = f"; did you mean {quoted(self.did_you_mean)}?" if self.did_you_mean else ""
        return (
            f"{self.option} {quoted(self.value)} matched nothing at "
            f"{clipped(node_name(tuple(self.at)))}: the lookup fell back past it{hint}"
        )


def unmatched_options(context: Context, lookup: Device) -> list[Unmatched]:
    """The device options after --os whose element the lookup did not walk into."""
    if all(lookup[name] is None for name in DEVICE_FIELDS[1:-1]):
        return []  # --os alone: a missing OS is reported as such
    found = []
    node: Any = context.manager.plugins
    for step in trace_lookup(context.manager.plugins, **lookup).steps:
        if step.matched:
            node = node[step.element]
        elif step.element is not None:
            names = [str(key) for key, child in node.items() if key != DATA and type(child) is dict]
            close = did_you_mean(step.element, names)
            found.append(
                Unmatched(
                    flag(step.level),
                    step.element,
                    list(step.node),
                    close.split("'")[1] if close else None,
                )
            )
    return found


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


def show_list(context: Context) -> int:
    if context.args.conflicts:
        return show_conflicts(context)
    rows = [row for row in context.loaded.records() if matches(row, context.given)]
    if context.given and not rows:
        return no_match([], context.args.json)
    if context.args.json:
        print_json(rows)
    elif not rows:
        emit("No connection plugins are registered.")
    else:
        emit(format_table(rows))
    return EXIT_OK


REPLACED_MARK = " *"


def row_cells(row: Mapping[str, object], keys: Sequence[str]) -> list[str]:
    return ["-" if row[key] is None else str(row[key]) for key in keys]


def aligned(cells: list[list[str]]) -> list[str]:
    widths = [max(map(len, column)) for column in zip(*cells, strict=True)]
    return [
        "  ".join([cell.ljust(width) for cell, width in zip(line, widths, strict=True)]).rstrip()
        for line in cells
    ]


def format_table(rows: Sequence["inventory.Row"]) -> str:
    from telvar.inventory import ROW_KEYS

    # The file, the longest column, goes last; a class whose record replaced others is marked.
    keys = [key for key in ROW_KEYS if key not in ("file", "replaces")] + ["file"]
    cells = [keys] + [row_cells(row, keys) for row in rows]
    marked = [bool(row["replaces"]) for row in rows]
    at = keys.index("class")
    for line, mark in zip(cells[1:], marked, strict=True):
        line[at] += REPLACED_MARK * mark
    lines = aligned(cells)
    if any(marked):
        lines.append(
            f"{REPLACED_MARK.strip()} replaced another class's record (list --json names it)"
        )
    return "\n".join(lines)


def show_conflicts(context: Context) -> int:
    """The records more than one distribution provides, each provider, and the winner."""
    found = [
        conflict
        for conflict in context.loaded.conflicts()
        if matches(conflict.levels | {"chassis_type": conflict.slot[1]}, context.given)
    ]
    if context.args.json:
        print_json([conflict_json(conflict) for conflict in found])
        return EXIT_OK
    if not found:
        emit("No record is provided by more than one distribution.")
        return EXIT_OK
    for conflict in found:
        path, chassis_type = conflict.slot
        emit(f"{node_name(path)} ({chassis_type}):")
        cells = [
            [
                f"  {provider.origin}",
                class_name(provider.cls),
                "wins" if provider is conflict.winner else "",
            ]
            for provider in conflict.providers
        ]
        for line in aligned(cells):
            emit(line)
        if conflict.winner is None:
            emit("  (none of them wins: another record is filed there now)")
    emit(f"{LOAD_ORDER_RULE}.")
    return EXIT_OK


def conflict_json(conflict: "inventory.Conflict") -> dict[str, Any]:
    def provider(found: "inventory.Provider | None") -> dict[str, Any] | None:
        return None if found is None else {"class": class_name(found.cls), "origin": found.origin}

    return {
        **{level: conflict.levels.get(level) for level in DEVICE_FIELDS[:-1]},
        "chassis_type": conflict.slot[1],
        "providers": [provider(found) for found in conflict.providers],
        "winner": provider(conflict.winner),
    }


def explain(context: Context) -> int:
    manager = context.manager
    lookup = checked_device(manager, context.device)
    trace = trace_lookup(manager.plugins, **lookup)
    if context.args.json:
        print_json(explain_json(trace, context.loaded))
        return EXIT_OK if trace.record is not None else EXIT_NOT_FOUND
    shown = [clipped(str(step.element)) for step in trace.steps]
    width = max(map(len, shown))
    for step, element in zip(trace.steps, shown, strict=True):
        if not step.matched:
            verdict = f"absent: falls back, stays at {clipped(node_name(step.node))}"
            if step.level == "os":
                verdict += f"; {registered_hint(manager, step.element)}"
        else:
            verdict = "matched"
        emit(f"{step.level:<9}  {element:<{width}}  {verdict}")
    emit(f"stopped at {clipped(node_name(trace.node))}")
    if trace.registered is None:
        where = "no records there"
    else:
        where = f"registered there: {', '.join(map(str, trace.registered)) or 'none'}"
    emit(f"chassis type {clipped(str(trace.chassis_type))} ({where})")
    if trace.record is None:
        emit("result: no plugin serves this device")
        return EXIT_NOT_FOUND
    emit(f"result: {class_name(trace.cls)}")
    emit(f"  from {trace.record.get(PATH)}")
    return EXIT_OK


def explain_json(trace: Trace, loaded: "inventory.Inventory") -> dict[str, Any]:
    record = trace.record
    return {
        "steps": [
            {
                "level": step.level,
                "element": step.element,
                "matched": step.matched,
                "node": list(step.node),
            }
            for step in trace.steps
        ],
        "stopped_at": list(trace.node),
        "chassis_type": trace.chassis_type,
        "registered": None if trace.registered is None else list(trace.registered),
        "result": None
        if record is None
        else record_json(record.get(CLS), record.get(PATH), loaded),
        "diagnostics": diagnostics(loaded),
    }


def print_completion(args: argparse.Namespace) -> int:
    emit(completion_script(args.shell), end="")
    return EXIT_OK


def completion_script(shell: str) -> str:
    """A completion script for ``shell``, made from the parser's own options."""
    from telvar import completion

    values = {"--chassis-type": tuple(map(str, supported_chassis))}
    return completion.script(shell, build_parser(), values)


def list_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--conflicts",
        action="store_true",
        help="only the records that more than one distribution provides, each provider "
        "and the one that wins (the one loaded last)",
    )


def resolve_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--exact",
        action="store_true",
        help="a device option that matched nothing is an error (exit code 1), not a warning",
    )


def completion_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("shell", choices=SHELLS, help="the shell to complete for")


class Command(NamedTuple):
    """A command: its name, one-line summary, example, and what runs it.

    A command that loads plugins gets the device options and --json, and its
    handler the loaded registry; any other gets its arguments alone.
    """

    name: str
    summary: str
    example: str
    handler: Callable[[Context], int] | None
    arguments: Callable[[argparse.ArgumentParser], None] | None = None
    without_plugins: Callable[[argparse.Namespace], int] | None = None

    @property
    def loads_plugins(self) -> bool:
        return self.handler is not None


COMMANDS = (
    Command(
        "tree",
        "the registry as a tree (the default command)",
        "telvar tree --os alpha",
        show_tree,
    ),
    Command(
        "resolve",
        "the class that serves a device, its dotted name and file",
        "telvar resolve --os alpha --platform edge --model e100",
        resolve,
        arguments=resolve_arguments,
    ),
    Command(
        "list",
        "one row per registered record, with the distribution it came from",
        "telvar list --os beta --json",
        show_list,
        arguments=list_arguments,
    ),
    Command(
        "explain",
        "the lookup for a device, step by step",
        "telvar explain --os alpha --platform edge --model e999",
        explain,
    ),
    Command(
        "completion",
        "print a completion script for bash, zsh or fish",
        "source <(telvar completion bash)",
        None,
        arguments=completion_arguments,
        without_plugins=print_completion,
    ),
)
COMMAND_NAMED = {command.name: command for command in COMMANDS}


def run(args: argparse.Namespace) -> int:
    before = {name: getattr(args, GLOBAL_DEVICE + name) for name in DEVICE_FIELDS}
    name = args.command
    if name is None:
        name = "resolve" if any(value is not None for value in before.values()) else "tree"
    command = COMMAND_NAMED[name]
    if command.without_plugins is not None:
        return command.without_plugins(args)
    assert command.handler is not None
    device = {field: getattr(args, field, before[field]) for field in DEVICE_FIELDS}
    if name in ("resolve", "explain") and device["os"] is None and args.command is not None:
        raise CommandError(
            f"error: the following arguments are required: --os (see 'telvar {name} --help')",
            EXIT_USAGE,
        )
    args.json = getattr(args, "json", False)
    manager = import_manager(args.quiet > 0)
    loaded = load_plugins(manager, args.strict, args.quiet, disabled_plugins(args))
    args.loaded = loaded
    if args.strict and loaded.failures:
        json_error(args, "a plugin failed to load (--strict)", EXIT_LOAD)
        return EXIT_LOAD
    args.json = getattr(args, "json", False)
    args.conflicts = getattr(args, "conflicts", False)
    args.exact = getattr(args, "exact", False)
    return command.handler(Context(args, device, manager, loaded))


class CommandOutput:
    """The command's own standard output, kept for it alone while the command runs.

    Meanwhile ``sys.stdout`` is standard error, and so is the file descriptor
    of standard output, so neither a plugin's ``print()`` nor a subprocess it
    starts can write into the command's output. With standard error closed,
    that stray output goes nowhere.
    """

    def __init__(self) -> None:
        self.real = sys.stdout
        self.errors = sys.stderr
        self.stream: IO[str] = self.real
        self.fd: int | None = None
        self.saved: int | None = None
        self.identity: tuple[int, int] | None = None  # the file of the saved copy
        self.plug: int | None = None  # a stand-in for a closed standard error

    def __enter__(self) -> IO[str]:
        try:
            self.fd = self.real.fileno()
        except (AttributeError, OSError, ValueError):
            self.fd = None  # not a file (a test's capture): Python's writes alone move
        if not descriptor_open(2):
            plug = os.open(os.devnull, os.O_WRONLY)
            if plug == 2:
                self.plug = plug
            else:
                os.close(plug)
        if self.fd is not None:
            self.real.flush()
            self.saved = high_duplicate(self.fd)
            self.identity = file_identity(self.saved)
            os.dup2(2 if descriptor_open(2) else self.devnull(), self.fd)
            self.stream = self.wrap(self.saved)
        sys.stdout = StrayOutput(sys.stderr)
        _active.append(self)
        return self.stream

    def wrap(self, fd: int) -> IO[str]:
        return open(  # closed by __exit__
            fd,
            "w",
            encoding=getattr(self.real, "encoding", None),
            errors=getattr(self.real, "errors", None),
            closefd=False,
        )

    def check(self, plugin: str) -> None:
        """After a plugin's load: the saved copy of standard output must still be the
        command's. A plugin that closed it (``os.closerange(3, ...)``) leaves it lost, or
        another file in its place: that is said, and nothing is written there."""
        if self.saved is None or file_identity(self.saved) == self.identity:
            return
        self.saved = None
        self.stream = io.StringIO()
        raise OutputError(f"plugin {plugin!r} closed the descriptor of the command's output")

    def devnull(self) -> int:
        if self.plug is None:
            self.plug = os.open(os.devnull, os.O_WRONLY)
        return self.plug

    def discard(self) -> None:
        """Drop what is left to write: its reader is gone or its disk is full."""
        if self.saved is not None:
            os.dup2(self.devnull(), self.saved)

    def __exit__(self, kind: object, error: object, traceback: object) -> None:
        _active.pop()
        sys.stdout = self.real
        try:
            if self.saved is not None:
                if error is not None:
                    self.discard()
                self.stream.close()
        finally:
            if self.saved is not None and self.fd is not None:
                with contextlib.suppress(Exception):  # what was written around sys.stdout
                    self.real.flush()
                os.dup2(self.saved, self.fd)
                os.close(self.saved)
            if self.plug is not None:
                os.close(self.plug)


class StrayOutput(io.TextIOBase):
    """``sys.stdout`` while the command runs: what is written goes to standard error, or
    nowhere when there is none; closing it closes nothing."""

    def __init__(self, target: IO[str] | None) -> None:
        super().__init__()
        self.target = target

    @property
    def encoding(self) -> str:  # type: ignore[override]  # read-only, as TextIOBase's is
        return getattr(self.target, "encoding", None) or "utf-8"

    name = "<stdout>"
    mode = "w"

    @property
    def line_buffering(self) -> bool:
        return bool(getattr(self.target, "line_buffering", False))

    @property
    def write_through(self) -> bool:
        return bool(getattr(self.target, "write_through", False))

    def reconfigure(self, **options: object) -> None:
        """Accepted and ignored: where this output goes is the command's to choose."""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if self.target is not None:
            with contextlib.suppress(OSError, ValueError):
                self.target.write(text)
        return len(text)

    def flush(self) -> None:
        if self.target is not None:
            with contextlib.suppress(OSError, ValueError):
                self.target.flush()

    def fileno(self) -> int:
        if self.target is None:
            raise io.UnsupportedOperation("no standard error")
        return self.target.fileno()

    @property
    def buffer(self) -> IO[bytes]:
        """Bytes written as bytes go the same way."""
        found = getattr(self.target, "buffer", None)
        return found if found is not None else io.BytesIO()

    def close(self) -> None:
        """Not a plugin's to close: standard error stays open for the command."""


def file_identity(fd: int) -> tuple[int, int] | None:
    try:
        found = os.fstat(fd)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def descriptor_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def high_duplicate(fd: int) -> int:
    """A duplicate of ``fd`` above the standard three, which must not take a closed one's place."""
    low = []
    new = os.dup(fd)
    while new <= 2:
        low.append(new)
        new = os.dup(fd)
    for unused in low:
        os.close(unused)
    return new


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit code."""
    if list(sys.argv[1:] if argv is None else argv) in (["-V"], ["--version"]):
        return print_version()
    if sys.stdout is None:  # started with its standard output closed
        err("telvar: error: standard output is closed")
        return EXIT_NO_OUTPUT
    output = CommandOutput()
    try:
        with output as stream:
            code = run_reporting_errors(argv)
            stream.flush()
    except BrokenPipeError:
        # The reader went away (telvar tree | head -1): stop quietly.
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except (OSError, OutputError) as exc:
        discard_stdout()
        err(f"telvar: error: cannot write to standard output: {exc}")
        return EXIT_NO_OUTPUT
    return code


def discard_stdout() -> None:
    """Leave nothing for the interpreter to fail to flush at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        sys.stdout = None
    finally:
        os.close(devnull)


@contextlib.contextmanager
def debug_log(args: argparse.Namespace) -> Iterator[None]:
    disable = enable_debug_log() if args.debug else None
    try:
        yield
    finally:
        if disable is not None:
            disable()


def print_version() -> int:
    """``telvar -V`` alone: the version, without building the parser."""
    if sys.stdout is None:
        err("telvar: error: standard output is closed")
        return EXIT_NO_OUTPUT
    try:
        print(f"telvar {version()}", flush=True)
    except BrokenPipeError:
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except (OSError, ValueError, AttributeError) as exc:
        err(f"telvar: error: cannot write to standard output: {exc}")
        return EXIT_NO_OUTPUT
    return EXIT_OK


def run_reporting_errors(argv: Sequence[str] | None) -> int:
    args = None
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version
            return exc.code if isinstance(exc.code, int) else EXIT_USAGE
        with debug_log(args):
            return run(args)
    except CommandError as exc:
        if args is not None and args.debug and exc.cause is not None:
            print_traceback(exc.cause)
        err(f"telvar: {exc}")
        json_error(args, str(exc), exc.code)
        return exc.code
    except (BrokenPipeError, OutputError):
        raise
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:
        return report_unexpected(args, exc)


def report_unexpected(args: argparse.Namespace | None, exc: Exception) -> int:
    if args is not None and args.debug:
        print_traceback(exc)
    err(f"telvar: unexpected error: {describe_exception(exc)}")
    json_error(args, f"unexpected error: {describe_exception(exc)}", EXIT_UNEXPECTED)
    return EXIT_UNEXPECTED


def json_error(args: argparse.Namespace | None, message: str, code: int) -> None:
    """Under --json, a failed command's one object on standard output: its error and
    what loading the plugins met (null when they were not loaded)."""
    if args is None or not getattr(args, "json", False):
        return
    loaded = getattr(args, "loaded", None)
    error = {"code": code, "message": message.removeprefix("error: ")}
    print_json({"error": error, "diagnostics": None if loaded is None else diagnostics(loaded)})
