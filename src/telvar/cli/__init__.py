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
import sys
from collections.abc import Sequence
from typing import Any

from telvar.cli.loading import (
    Context,
    debug_log,
    diagnostics,
    disabled_plugins,
    import_manager,
    load_plugins,
    on_terminal,
    preferred,
    registry_choices,
)
from telvar.cli.output import (
    EXIT_BROKEN_PIPE,
    EXIT_INTERRUPTED,
    EXIT_LOAD,
    EXIT_NO_OUTPUT,
    EXIT_UNEXPECTED,
    EXIT_USAGE,
    NAMES_LIMIT,
    CommandError,
    CommandOutput,
    OutputError,
    describe_exception,
    discard_stdout,
    err,
    named_list,
    print_json,
    print_traceback,
    print_version,
)
from telvar.registry import DEVICE_FIELDS

__all__ = ["NAMES_LIMIT", "main", "named_list"]


def __getattr__(name: str) -> Any:
    """The command records, from the parser's module, imported on first use."""
    if name in ("COMMANDS", "build_parser"):
        from telvar.cli import parser

        return getattr(parser, name)
    raise AttributeError(f"module 'telvar.cli' has no attribute {name!r}")


def run(args: argparse.Namespace) -> int:
    from telvar.cli.parser import COMMAND_NAMED, GLOBAL_DEVICE

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
    loaded = load_plugins(
        manager,
        args.strict,
        args.quiet,
        disabled_plugins(args),
        on_terminal(args),
        preferred(args),
    )
    args.loaded = loaded
    if args.strict and loaded.failures:
        json_error(args, "a plugin failed to load (--strict)", EXIT_LOAD)
        return EXIT_LOAD
    args.json = getattr(args, "json", False)
    args.conflicts = getattr(args, "conflicts", False)
    args.exact = getattr(args, "exact", False)
    return command.handler(Context(args, device, manager, loaded))


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit code."""
    if list(sys.argv[1:] if argv is None else argv) in (["-V"], ["--version"]):
        return print_version()
    if sys.stdout is None:  # started with its standard output closed
        err("telvar: error: standard output is closed")
        return EXIT_NO_OUTPUT
    output = CommandOutput()
    try:
        with output:
            code = run_reporting_errors(argv)
            output.stream.flush()  # its stream, which a plugin's closing may have renewed
    except BrokenPipeError:
        # The reader went away (telvar tree | head -1): stop quietly.
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except (OSError, OutputError) as exc:
        discard_stdout()
        err(f"telvar: error: cannot write to standard output: {exc}")
        return EXIT_NO_OUTPUT
    return code


def run_reporting_errors(argv: Sequence[str] | None) -> int:
    args = None
    try:
        try:
            from telvar.cli.parser import build_parser, wants_command_help

            words = list(sys.argv[1:] if argv is None else argv)
            choices = registry_choices() if wants_command_help(words) else None
            args = build_parser(choices).parse_args(words)
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
