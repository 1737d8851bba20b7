"""The ``telvar`` command: the plugin registry, and which plugin serves a device.

telvar [tree]                                 # the registry as a tree
telvar resolve --os alpha --platform edge     # the class that serves a device (--json)
telvar list                                   # one row per record, with its origin (--json)
telvar explain --os alpha --model e9 ...      # the lookup, step by step
telvar --os alpha                             # device options alone: resolve

Exit codes: 0 success, 1 no plugin serves the device, 2 usage error or refused
input, 3 a plugin failed to load (under --strict) or a built-in one failed to
import, 4 an unexpected error, 141 stdout closed early.
"""

import argparse
import difflib
import inspect
import json
import logging
import os
import sys
import traceback
from importlib import metadata

from telvar import inventory, log
from telvar.core.errors import ConnectionInfraError
from telvar.manager import PluginManager, plugin_manager

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_LOAD = 3
EXIT_UNEXPECTED = 4
EXIT_BROKEN_PIPE = 128 + 13  # as for a process that SIGPIPE ended
EXIT_INTERRUPTED = 128 + 2

DEVICE_OPTIONS = ("os", "platform", "model", "os_flavor", "chassis_type")
GLOBAL_DEVICE = "global_"  # dest prefix of the device options given before any subcommand


class CommandError(Exception):
    """Reported as ``telvar: <message>`` on stderr; ends the command with ``code``."""

    def __init__(self, message, code, cause=None):
        super().__init__(message)
        self.code = code
        self.cause = cause


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CommandError(f"error: {message} (see '{self.prog} --help')", EXIT_USAGE)


def version():
    try:
        return metadata.version("telvar")
    except metadata.PackageNotFoundError:
        return "unknown"


DEVICE_HELP = {
    "os": "operating system, e.g. alpha",
    "platform": "platform (lower case)",
    "model": "model (lower case or digits; needs --platform)",
    "os_flavor": "OS flavour",
    "chassis_type": "single_rp (the default), dual_rp or stack",
}


def add_device_options(parser, title, dest_prefix="", required=False):
    device = parser.add_argument_group(title)
    for name in DEVICE_OPTIONS:
        device.add_argument(
            "--" + name.replace("_", "-"),
            dest=dest_prefix + name,
            metavar=name.upper(),
            required=required and name == "os",
            help=DEVICE_HELP[name],
        )


def add_global_options(parser, default):
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


def build_parser():
    parser = Parser(
        prog="telvar",
        description=(
            "Load telvar's built-in connection plugins and those that installed "
            "distributions advertise (entry-point group 'telvar.plugins'), then "
            "show the registry or the plugin that serves a device. Without a "
            "command: the tree, or with device options, resolve."
        ),
        epilog=(
            "exit codes: 0 success, 1 no plugin serves the device, 2 usage error "
            "or refused input, 3 a plugin failed to load (--strict) or a built-in "
            "plugin failed to import, 4 an unexpected error"
        ),
    )
    parser.add_argument("--version", action="version", version=f"telvar {version()}")
    add_global_options(parser, default=False)
    add_device_options(parser, "device, without a command (resolve)", dest_prefix=GLOBAL_DEVICE)

    # The global options are accepted after a command too; unless given there,
    # they keep the value parsed before it.
    common = Parser(add_help=False)
    add_global_options(common, default=argparse.SUPPRESS)
    json_option = Parser(add_help=False)
    json_option.add_argument("--json", action="store_true", help="print JSON")

    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("tree", parents=[common], help="the registry as a tree (the default)")
    resolve = commands.add_parser(
        "resolve",
        parents=[common, json_option],
        help="the class that serves a device, its dotted name and file",
    )
    add_device_options(resolve, "device", required=True)
    commands.add_parser(
        "list",
        parents=[common, json_option],
        help="one row per registered record, with the distribution it came from",
    )
    explain = commands.add_parser(
        "explain", parents=[common], help="the lookup for a device, step by step"
    )
    add_device_options(explain, "device", required=True)
    return parser


def enable_debug_log():
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    log.addHandler(handler)
    previous_level = log.level
    log.setLevel(logging.DEBUG)

    def disable():
        log.removeHandler(handler)
        log.setLevel(previous_level)

    return disable


class Loaded:
    """The outcome of loading the plugins: what ``list`` and ``--json`` report."""

    def __init__(self):
        self.registrations = {}
        self.sources = {}
        self.failures = []

    def origin(self, cls):
        return inventory.origin_of(cls.__module__, self.sources)


def load_plugins(strict):
    loaded = Loaded()
    severity = "error" if strict else "warning"

    def report(failure):
        loaded.failures.append(failure)
        print(f"telvar: {severity}: {failure}", file=sys.stderr)

    with inventory.recording_registrations(plugin_manager, loaded.registrations):
        try:
            PluginManager.discover_builtin_plugins()
        except Exception as exc:
            message = (
                f"error: a built-in plugin failed to import: {inventory.describe_exception(exc)}"
            )
            raise CommandError(message, EXIT_LOAD, cause=exc) from exc
        loaded.sources = inventory.load_external_plugins(report)
    return loaded


def checked_device(device):
    """The lookup arguments, refused (exit code 2) when the manager would refuse them."""
    lookup = dict(device)
    if lookup["chassis_type"] is None:
        lookup["chassis_type"] = inventory.DEFAULT_CHASSIS
    try:
        plugin_manager.validate_arguments(
            lookup["os"], lookup["platform"], lookup["model"], lookup["chassis_type"]
        )
    except ConnectionInfraError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from exc
    return lookup


def registered_hint(os_name):
    """The OSes that have plugins, and the one closest to ``os_name``."""
    names = sorted(str(key) for key in plugin_manager.plugins)
    hint = f"registered: {', '.join(names) or 'none'}"
    close = difflib.get_close_matches(str(os_name), names, n=1)
    return hint + (f"; did you mean {close[0]!r}?" if close else "")


def show_tree(args, device, loaded):
    print(repr(plugin_manager) or "No connection plugins are registered.")
    return EXIT_OK


def resolve(args, device, loaded):
    lookup = checked_device(device)
    try:
        cls = plugin_manager.get_plugin(**lookup)
    except ConnectionInfraError as exc:
        if lookup["os"] not in plugin_manager.plugins:
            message = f"no plugin for os {lookup['os']!r}; {registered_hint(lookup['os'])}"
            raise CommandError(message, EXIT_NOT_FOUND) from exc
        raise CommandError(str(exc), EXIT_NOT_FOUND) from exc
    path = inspect.getfile(cls)
    if getattr(args, "json", False):
        found = {
            "class": inventory.class_name(cls),
            "module": cls.__module__,
            "file": path,
            "origin": loaded.origin(cls),
        }
        print(json.dumps(found, indent=2))
    else:
        print(inventory.class_name(cls))
        print(f"  from {path}")
    return EXIT_OK


def show_list(args, device, loaded):
    rows = inventory.records(plugin_manager.plugins, loaded.registrations, loaded.sources)
    if args.json:
        print(json.dumps(rows, indent=2))
    elif not rows:
        print("No connection plugins are registered.")
    else:
        print(format_table(rows))
    return EXIT_OK


def format_table(rows):
    # The file, the longest column, goes last.
    keys = [key for key in inventory.ROW_KEYS if key != "file"] + ["file"]
    cells = [keys] + [["-" if row[key] is None else str(row[key]) for key in keys] for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(keys))]
    return "\n".join(
        "  ".join(cell.ljust(width) for cell, width in zip(line, widths, strict=True)).rstrip()
        for line in cells
    )


def node_name(path):
    return "/".join(map(str, path)) or "the root"


def explain(args, device, loaded):
    lookup = checked_device(device)
    trace = inventory.trace_lookup(plugin_manager.plugins, **lookup)
    width = max(len(str(step.element)) for step in trace.steps)
    for step in trace.steps:
        if not step.matched:
            verdict = f"absent: falls back, stays at {node_name(step.node)}"
            if step.level == "os":
                verdict += f"; {registered_hint(step.element)}"
        elif step.element == "data":
            verdict = "matched: the data map, walked into as the manager does"
        else:
            verdict = "matched"
        print(f"{step.level:<9}  {step.element!s:<{width}}  {verdict}")
    print(f"stopped at {node_name(trace.node)}")
    if trace.registered is None:
        where = "no records there"
    else:
        where = f"registered there: {', '.join(map(str, trace.registered)) or 'none'}"
    print(f"chassis type {trace.chassis_type} ({where})")
    if trace.cls is None:
        print("result: no plugin serves this device")
        return EXIT_NOT_FOUND
    print(f"result: {inventory.class_name(trace.cls)}")
    print(f"  from {trace.record.get('path')}")
    return EXIT_OK


COMMANDS = {"tree": show_tree, "resolve": resolve, "list": show_list, "explain": explain}


def run(args):
    given = {name: getattr(args, GLOBAL_DEVICE + name) for name in DEVICE_OPTIONS}
    command = args.command
    if command is None:
        command = "resolve" if any(value is not None for value in given.values()) else "tree"
        device = given
    elif any(value is not None for value in given.values()):
        raise CommandError(
            f"error: device options belong after 'resolve' or 'explain', not before {command!r}",
            EXIT_USAGE,
        )
    else:
        device = {name: getattr(args, name, None) for name in DEVICE_OPTIONS}

    loaded = load_plugins(args.strict)
    if args.strict and loaded.failures:
        return EXIT_LOAD
    return COMMANDS[command](args, device, loaded)


def main(argv=None):
    """Run the command; returns its exit code."""
    try:
        code = run_reporting_errors(argv)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (telvar tree | head -1): stop quietly, and
        # leave nothing for the interpreter to fail to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE
    return code


def run_reporting_errors(argv):
    args = None
    disable_debug = None
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version
            return exc.code
        if args.debug:
            disable_debug = enable_debug_log()
        return run(args)
    except CommandError as exc:
        if args is not None and args.debug and exc.cause is not None:
            traceback.print_exception(exc.cause, file=sys.stderr)
        print(f"telvar: {exc}", file=sys.stderr)
        return exc.code
    except BrokenPipeError:
        raise
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as exc:
        if args is not None and args.debug:
            traceback.print_exc(file=sys.stderr)
        print(f"telvar: unexpected error: {inventory.describe_exception(exc)}", file=sys.stderr)
        return EXIT_UNEXPECTED
    finally:
        if disable_debug is not None:
            disable_debug()
