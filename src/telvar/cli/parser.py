"""The command line: the options, and the record of each command."""

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, NoReturn

from telvar.cli.check import check, check_arguments
from telvar.cli.loading import (
    DEVICE_OPTIONS,
    DISABLE_VARIABLE,
    PREFER_VARIABLE,
    Choices,
    Context,
    chassis_help,
    registry_choices,
)
from telvar.cli.lookup import (
    explain,
    resolve,
)
from telvar.cli.output import (
    EXIT_OK,
    EXIT_USAGE,
    CommandError,
    emit,
    err,
    version,
)
from telvar.cli.plugins import show_plugins
from telvar.cli.records import (
    show_list,
    show_tree,
)
from telvar.plugins import supported_chassis
from telvar.registry import (
    DEVICE_FIELDS,
)

if TYPE_CHECKING:
    pass


GLOBAL_DEVICE = "global_"  # dest prefix of the device options given before any subcommand


SHELLS = ("bash", "zsh", "fish")


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


def add_device_options(
    parser: argparse.ArgumentParser, title: str, dest_prefix: str, choices: Choices
) -> None:
    device = parser.add_argument_group(title)
    for name in DEVICE_FIELDS:
        flags, text = DEVICE_OPTIONS[name]
        if name == "chassis_type":
            text = chassis_help(choices.get(flags[0]) or tuple(map(str, supported_chassis)))
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
        help=f"do not load the plugin NAME (entry point or distribution); repeatable, or "
        f"NAME,NAME (also: {DISABLE_VARIABLE}=NAME,...)",
    )
    parser.add_argument(
        "--prefer",
        action="append",
        dest="prefer_after" if after_command else "prefer",
        default=[],
        metavar="DIST",
        help=f"where distributions register the same record, DIST's wins; the others keep "
        f"their other records. Repeatable, first first (also: {PREFER_VARIABLE}=DIST,...)",
    )


EXIT_CODES_HELP = (
    "exit codes: 0 success, 1 no plugin serves the device or no record matches, 2 usage "
    "error or refused input, 3 a plugin failed to load (--strict), a built-in plugin failed "
    "to import or the plugin manager cannot be imported, 4 an unexpected error, 5 standard "
    "output closed or not writable"
)


def build_parser(choices: Choices | None = None) -> Parser:
    """The parser; ``choices`` (the loaded registry's) name the chassis types in the help."""
    choices = choices or {}
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
    add_device_options(parser, "device (before or after the command)", GLOBAL_DEVICE, choices)

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
            add_device_options(sub, "device", "", choices)
        if command.arguments is not None:
            command.arguments(sub)
    return parser


def print_completion(args: argparse.Namespace) -> int:
    emit(completion_script(args.shell), end="")
    return EXIT_OK


def completion_script(shell: str) -> str:
    """A completion script for ``shell``, made from the parser's own options."""
    from telvar import completion

    values = registry_choices() or {"--chassis-type": tuple(map(str, supported_chassis))}
    return completion.script(shell, build_parser(values), values)


def wants_command_help(argv: Sequence[str]) -> bool:
    """Whether the arguments ask for the help of a command that loads plugins (its
    choices are then the loaded registry's); the top-level help loads nothing."""
    loading = {command.name for command in COMMANDS if command.loads_plugins}
    for word in argv:
        if word in ("-h", "--help"):
            return False
        if word in loading:
            return any(later in ("-h", "--help") for later in argv[argv.index(word) :])
    return False


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
        "plugins",
        "every plugin entry point: its distribution, status, records and load time",
        "telvar plugins --json",
        show_plugins,
    ),
    Command(
        "check",
        "load one plugin distribution alone and report what it does",
        "telvar check telvar-example-plugin --json",
        None,
        arguments=check_arguments,
        without_plugins=check,
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
