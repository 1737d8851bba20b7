"""The ``telvar`` command: the plugin registry, and which plugin serves a device.

telvar [tree]                                 # the registry as a tree (--json)
telvar resolve --os alpha --platform edge     # the class that serves a device (--json)
telvar list                                   # one row per record, with its origin (--json)
telvar explain --os alpha --model e9 ...      # the lookup, step by step (--json)
telvar completion bash|zsh|fish               # a shell completion script
telvar --os alpha                             # device options alone: resolve

Exit codes: 0 success, 1 no plugin serves the device, 2 usage error or refused
input, 3 a plugin failed to load (under --strict) or a built-in one failed to
import, 4 an unexpected error, 5 standard output closed or not writable,
130 interrupted, 141 stdout closed early by its reader.
"""

import argparse
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from importlib import metadata
from typing import Any, NoReturn

from telvar import inventory, log
from telvar.core.errors import ConnectionInfraError
from telvar.manager import plugin_manager
from telvar.plugins import supported_chassis

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_LOAD = 3
EXIT_UNEXPECTED = 4
EXIT_NO_OUTPUT = 5
EXIT_BROKEN_PIPE = 128 + 13  # as for a process that SIGPIPE ended
EXIT_INTERRUPTED = 128 + 2

DEVICE_OPTIONS = ("os", "platform", "model", "os_flavor", "chassis_type")
GLOBAL_DEVICE = "global_"  # dest prefix of the device options given before any subcommand
SHELLS = ("bash", "zsh", "fish")
ECHO_LIMIT = 40  # characters of a value echoed in a message
NAMES_LIMIT = 12  # registered OSes named in a message

Device = dict[str, Any]


class CommandError(Exception):
    """Reported as ``telvar: <message>`` on stderr; ends the command with ``code``."""

    def __init__(self, message: str, code: int, cause: BaseException | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.cause = cause


class Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def _print_message(self, message: str, file: Any = None) -> None:
        # Help and version text: a failed write is reported, not ignored as argparse does.
        if message and (file is None or file is sys.stdout):
            emit(message, end="")
        elif message:
            super()._print_message(message, file)

    def error(self, message: str) -> NoReturn:
        raise CommandError(f"error: {message} (see '{self.prog} --help')", EXIT_USAGE)


class OutputError(Exception):
    """Standard output failed (other than by a closed pipe): reported by ``main``."""


def emit(text: object = "", end: str = "\n") -> None:
    """Print to standard output; a failure to write is an ``OutputError``."""
    try:
        print(text, end=end)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(str(exc)) from exc


def version() -> str:
    try:
        return metadata.version("telvar")
    except metadata.PackageNotFoundError:
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


DEVICE_FLAGS = {
    "os": ["--os"],
    "platform": ["--platform"],
    "model": ["--model"],
    "os_flavor": ["--os-flavor", "--os-flavour"],
    "chassis_type": ["--chassis-type"],
}
DEVICE_HELP = {
    "os": "operating system, e.g. alpha",
    "platform": "platform (lower case)",
    "model": "model (lower case or digits; needs --platform)",
    "os_flavor": "OS flavour (--os-flavour is the same option)",
    "chassis_type": "one of {%s} (default: single_rp)" % ",".join(supported_chassis),
}


def add_device_options(parser: argparse.ArgumentParser, title: str, dest_prefix: str) -> None:
    device = parser.add_argument_group(title)
    for name in DEVICE_OPTIONS:
        device.add_argument(
            *DEVICE_FLAGS[name],
            dest=dest_prefix + name,
            metavar=name.upper(),
            help=DEVICE_HELP[name],
            # After a command, an option left out keeps the value given before it.
            default=None if dest_prefix else argparse.SUPPRESS,
        )


def add_global_options(parser: argparse.ArgumentParser, default: Any) -> None:
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
        "-q", "--quiet", action="store_true", default=default, help="print no warning lines"
    )


# name: (one-line description, example)
COMMANDS_HELP = {
    "tree": ("the registry as a tree (the default command)", "telvar tree --os alpha"),
    "resolve": (
        "the class that serves a device, its dotted name and file",
        "telvar resolve --os alpha --platform edge --model e100",
    ),
    "list": (
        "one row per registered record, with the distribution it came from",
        "telvar list --os beta --json",
    ),
    "explain": (
        "the lookup for a device, step by step",
        "telvar explain --os alpha --platform edge --model e999",
    ),
    "completion": (
        "print a completion script for bash, zsh or fish",
        "source <(telvar completion bash)",
    ),
}
EXIT_CODES_HELP = (
    "exit codes: 0 success, 1 no plugin serves the device, 2 usage error or refused "
    "input, 3 a plugin failed to load (--strict) or a built-in plugin failed to import, "
    "4 an unexpected error, 5 standard output closed or not writable"
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
    add_global_options(parser, default=False)
    add_device_options(parser, "device (before or after the command)", GLOBAL_DEVICE)

    # The global options are accepted after a command too; unless given there,
    # they keep the value parsed before it.
    common = Parser(add_help=False)
    add_global_options(common, default=argparse.SUPPRESS)
    json_option = Parser(add_help=False)
    json_option.add_argument("--json", action="store_true", help="print JSON")

    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, (summary, example) in COMMANDS_HELP.items():
        command = commands.add_parser(
            name,
            parents=[common] if name == "completion" else [common, json_option],
            help=summary,
            description=summary,
            epilog=f"example: {example}",
            allow_abbrev=False,
        )
        if name == "completion":
            command.add_argument("shell", choices=SHELLS, help="the shell to complete for")
        else:
            add_device_options(command, "device", "")
    return parser


def enable_debug_log() -> Callable[[], None]:
    import logging

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    log.addHandler(handler)
    previous_level = log.level
    log.setLevel(logging.DEBUG)

    def disable() -> None:
        log.removeHandler(handler)
        log.setLevel(previous_level)

    return disable


def load_plugins(strict: bool, quiet: bool = False) -> inventory.Inventory:
    """The built-in plugins, then every external one on its own; failures are reported."""
    loaded = inventory.Inventory(plugin_manager)

    def warn(text: object) -> None:
        if not quiet:
            print(f"telvar: warning: {text}", file=sys.stderr)

    def report(failure: inventory.LoadFailure) -> None:
        if strict:
            print(f"telvar: error: {failure}", file=sys.stderr)
        else:
            warn(failure)

    try:
        loaded.load_builtin()
    except Exception as exc:
        message = f"error: a built-in plugin failed to import: {inventory.describe_exception(exc)}"
        raise CommandError(message, EXIT_LOAD, cause=exc) from exc
    loaded.load_external(on_failure=report, on_replacement=warn)
    return loaded


VALIDATORS: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("model", ("os", "platform", "model")),
    ("platform", ("os", "platform")),
    ("os", ("os",)),
    ("chassis_type", ("chassis_type",)),
)


def refused_option(lookup: Device) -> str:
    """The line naming the option the manager refused, in its validation order."""
    for name, fields in VALIDATORS:
        if name == "chassis_type" and lookup["os"] == "linux":
            continue
        try:
            getattr(plugin_manager, "validate_" + name)(**{key: lookup[key] for key in fields})
        except ConnectionInfraError:
            line = f"refused: {DEVICE_FLAGS[name][0]} {quoted(lookup[name])}"
            if name == "chassis_type":
                line += f"; choose from {', '.join(map(str, supported_chassis))}"
            return line
    return "refused input"


def manager_message(exc: BaseException, device: Device) -> str:
    """The manager's own message, with over-long values given by the user cut short."""
    text = str(exc)
    for value in device.values():
        if isinstance(value, str) and len(value) > ECHO_LIMIT:
            text = text.replace(value, clipped(value))
    return text


def checked_device(device: Device) -> Device:
    """The lookup arguments, refused (exit code 2) when the manager would refuse them."""
    lookup = dict(device)
    if lookup["chassis_type"] is None:
        lookup["chassis_type"] = inventory.DEFAULT_CHASSIS
    try:
        plugin_manager.validate_arguments(
            lookup["os"], lookup["platform"], lookup["model"], lookup["chassis_type"]
        )
    except ConnectionInfraError as exc:
        message = f"{manager_message(exc, lookup)}\ntelvar: {refused_option(lookup)}"
        raise CommandError(message, EXIT_USAGE) from exc
    return lookup


def registered_hint(os_name: object) -> str:
    """The OSes that have plugins, and the one closest to ``os_name``."""
    names = sorted(str(key) for key in plugin_manager.plugins)
    shown = [clipped(name) for name in names[:NAMES_LIMIT]] + (
        [f"and {len(names) - NAMES_LIMIT} more"] * (len(names) > NAMES_LIMIT)
    )
    hint = f"registered: {', '.join(shown) or 'none'}"
    wanted = str(os_name)
    close = [name for name in names if name.casefold() == wanted.casefold()]
    if not close and len(wanted) <= 4 * ECHO_LIMIT:
        import difflib

        close = difflib.get_close_matches(wanted, names, n=1)
    return hint + (f"; did you mean {quoted(close[0])}?" if close else "")


def record_json(cls: Any, path: object, loaded: inventory.Inventory) -> dict[str, Any]:
    return {
        "class": inventory.class_name(cls),
        "module": getattr(cls, "__module__", None),
        "file": path,
        "origin": loaded.origin(cls, path),
    }


def print_json(value: object) -> None:
    import json

    emit(json.dumps(value, indent=2, default=str))


def selected(loaded: inventory.Inventory, device: Device) -> dict[Any, Any]:
    """The registry tree, or a copy that holds only the records the device options select."""
    tree = plugin_manager.plugins
    given = {name: value for name, value in device.items() if value is not None}
    if not given:
        return tree
    kept: dict[Any, Any] = {}
    for path, chassis_type, record in inventory.walk_records(tree):
        if matches(loaded.row(path, chassis_type, record), given):
            node = kept
            for element in path:
                node = node.setdefault(element, {})
            node.setdefault("data", {})[chassis_type] = record
    return kept


def matches(row: Mapping[str, object], given: Device) -> bool:
    """Whether a record's row has every level the device options give."""
    return all(str(row[name]) == value for name, value in given.items())


def tree_json(node: dict[Any, Any], loaded: inventory.Inventory) -> dict[str, Any]:
    """A node as nested objects; a data map holds each record's class, module, file, origin."""
    out: dict[str, Any] = {}
    for key in sorted(node, key=str):
        value = node[key]
        if key == "data" and isinstance(value, dict):
            out["data"] = {
                str(chassis_type): record_json(record.get("cls"), record.get("path"), loaded)
                for chassis_type, record in sorted(value.items(), key=lambda item: str(item[0]))
                if isinstance(record, dict)
            }
        elif isinstance(value, dict):
            out[str(key)] = tree_json(value, loaded)
    return out


def show_tree(args: argparse.Namespace, device: Device, loaded: inventory.Inventory) -> int:
    tree = selected(loaded, device)
    if args.json:
        print_json(tree_json(tree, loaded))
    elif tree is plugin_manager.plugins:
        emit(repr(plugin_manager) or "No connection plugins are registered.")
    elif tree:
        heading = repr(plugin_manager).split("\n", 1)[0]
        emit(plugin_manager.print_tree(data=tree, output=heading))
    else:
        emit("No registered record matches these device options.")
    return EXIT_OK


def resolve(args: argparse.Namespace, device: Device, loaded: inventory.Inventory) -> int:
    lookup = checked_device(device)
    try:
        cls = plugin_manager.get_plugin(**lookup)
    except ConnectionInfraError as exc:
        if lookup["os"] not in plugin_manager.plugins:
            message = f"no plugin for os {quoted(lookup['os'])}; {registered_hint(lookup['os'])}"
            raise CommandError(message, EXIT_NOT_FOUND) from exc
        raise CommandError(manager_message(exc, lookup), EXIT_NOT_FOUND) from exc
    import inspect

    path = inspect.getfile(cls)
    if args.json:
        print_json(record_json(cls, path, loaded))
    else:
        emit(inventory.class_name(cls))
        emit(f"  from {path}")
    return EXIT_OK


def show_list(args: argparse.Namespace, device: Device, loaded: inventory.Inventory) -> int:
    given = {name: value for name, value in device.items() if value is not None}
    rows = [row for row in loaded.records() if matches(row, given)]
    if args.json:
        print_json(rows)
    elif not rows:
        emit(
            "No registered record matches these device options."
            if given
            else "No connection plugins are registered."
        )
    else:
        emit(format_table(rows))
    return EXIT_OK


REPLACED_MARK = " *"


def row_cells(row: Mapping[str, object], keys: list[str]) -> list[str]:
    return ["-" if row[key] is None else str(row[key]) for key in keys]


def format_table(rows: Sequence[inventory.Row]) -> str:
    # The file, the longest column, goes last; a class whose record replaced others is marked.
    keys = [key for key in inventory.ROW_KEYS if key not in ("file", "replaces")] + ["file"]
    cells = [keys] + [row_cells(row, keys) for row in rows]
    marked = [bool(row["replaces"]) for row in rows]
    at = keys.index("class")
    for line, mark in zip(cells[1:], marked, strict=True):
        line[at] += REPLACED_MARK * mark
    widths = [max(map(len, column)) for column in zip(*cells, strict=True)]
    lines = [
        "  ".join([cell.ljust(width) for cell, width in zip(line, widths, strict=True)]).rstrip()
        for line in cells
    ]
    if any(marked):
        lines.append(
            f"{REPLACED_MARK.strip()} replaced another class's record (list --json names it)"
        )
    return "\n".join(lines)


def explain(args: argparse.Namespace, device: Device, loaded: inventory.Inventory) -> int:
    lookup = checked_device(device)
    trace = inventory.trace_lookup(plugin_manager.plugins, **lookup)
    if args.json:
        print_json(explain_json(trace, loaded))
        return EXIT_OK if trace.record is not None else EXIT_NOT_FOUND
    shown = [clipped(str(step.element)) for step in trace.steps]
    width = max(map(len, shown))
    for step, element in zip(trace.steps, shown, strict=True):
        if not step.matched:
            verdict = f"absent: falls back, stays at {clipped(inventory.node_name(step.node))}"
            if step.level == "os":
                verdict += f"; {registered_hint(step.element)}"
        elif step.element == "data":
            verdict = "matched: the data map, walked into as the manager does"
        else:
            verdict = "matched"
        emit(f"{step.level:<9}  {element:<{width}}  {verdict}")
    emit(f"stopped at {clipped(inventory.node_name(trace.node))}")
    if trace.registered is None:
        where = "no records there"
    else:
        where = f"registered there: {', '.join(map(str, trace.registered)) or 'none'}"
    emit(f"chassis type {clipped(str(trace.chassis_type))} ({where})")
    if trace.record is None:
        emit("result: no plugin serves this device")
        return EXIT_NOT_FOUND
    emit(f"result: {inventory.class_name(trace.cls)}")
    emit(f"  from {trace.record.get('path')}")
    return EXIT_OK


def explain_json(trace: inventory.Trace, loaded: inventory.Inventory) -> dict[str, Any]:
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
        else record_json(record.get("cls"), record.get("path"), loaded),
    }


COMMANDS: dict[str, Callable[[argparse.Namespace, Device, inventory.Inventory], int]] = {
    "tree": show_tree,
    "resolve": resolve,
    "list": show_list,
    "explain": explain,
}


def run(args: argparse.Namespace) -> int:
    before = {name: getattr(args, GLOBAL_DEVICE + name) for name in DEVICE_OPTIONS}
    command = args.command
    if command == "completion":
        emit(completion_script(args.shell), end="")
        return EXIT_OK
    if command is None:
        command = "resolve" if any(value is not None for value in before.values()) else "tree"
    device = {name: getattr(args, name, before[name]) for name in DEVICE_OPTIONS}
    if args.command in ("resolve", "explain") and device["os"] is None:
        raise CommandError(
            f"error: the following arguments are required: --os (see 'telvar {command} --help')",
            EXIT_USAGE,
        )
    loaded = load_plugins(args.strict, args.quiet)
    if args.strict and loaded.failures:
        return EXIT_LOAD
    args.json = getattr(args, "json", False)
    return COMMANDS[command](args, device, loaded)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit code."""
    if sys.stdout is None:  # started with its standard output closed
        print("telvar: error: standard output is closed", file=sys.stderr)
        return EXIT_NO_OUTPUT
    try:
        code = run_reporting_errors(argv)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (telvar tree | head -1): stop quietly.
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except (OSError, OutputError) as exc:
        discard_stdout()
        print(f"telvar: error: cannot write to standard output: {exc}", file=sys.stderr)
        return EXIT_NO_OUTPUT
    return code


def discard_stdout() -> None:
    """Leave nothing for the interpreter to fail to flush at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        sys.stdout = None
    finally:
        os.close(devnull)


def run_reporting_errors(argv: Sequence[str] | None) -> int:
    args = None
    disable_debug = None
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version
            return exc.code if isinstance(exc.code, int) else EXIT_USAGE
        if args.debug:
            disable_debug = enable_debug_log()
        return run(args)
    except CommandError as exc:
        if args is not None and args.debug and exc.cause is not None:
            import traceback

            traceback.print_exception(exc.cause, file=sys.stderr)
        print(f"telvar: {exc}", file=sys.stderr)
        return exc.code
    except (BrokenPipeError, OutputError):
        raise
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:
        return report_unexpected(args, exc)
    finally:
        if disable_debug is not None:
            disable_debug()


def report_unexpected(args: argparse.Namespace | None, exc: Exception) -> int:
    if args is not None and args.debug:
        import traceback

        traceback.print_exception(exc, file=sys.stderr)
    print(f"telvar: unexpected error: {inventory.describe_exception(exc)}", file=sys.stderr)
    return EXIT_UNEXPECTED


def completion_script(shell: str) -> str:
    """A completion script for ``shell``, made from the parser's own options."""
    from telvar import completion

    values = {"--chassis-type": tuple(map(str, supported_chassis))}
    return completion.script(shell, build_parser(), values)
