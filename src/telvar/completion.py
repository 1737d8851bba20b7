"""Shell completion scripts for the ``telvar`` command, made from its argument parser."""

import argparse
from collections.abc import Callable
from dataclasses import dataclass


@dataclass(frozen=True)
class Option:
    flags: tuple[str, ...]
    takes_value: bool
    choices: tuple[str, ...]
    help: str


Values = dict[str, tuple[str, ...]]


def options(parser: argparse.ArgumentParser, values: Values) -> list[Option]:
    """The options of ``parser``, in order; ``values`` adds the values of options without choices."""
    found = []
    for action in parser._actions:
        if action.option_strings and action.help != argparse.SUPPRESS:
            found.append(
                Option(
                    tuple(action.option_strings),
                    action.nargs != 0,
                    tuple(map(str, action.choices or values.get(action.option_strings[0], ()))),
                    (action.help or "").replace("%%", "%"),
                )
            )
    return found


def commands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def positional_choices(parser: argparse.ArgumentParser) -> tuple[str, ...]:
    return tuple(
        str(choice)
        for action in parser._actions
        if not action.option_strings and action.choices and not isinstance(action.choices, dict)
        for choice in action.choices
    )


def words(parser: argparse.ArgumentParser) -> str:
    return " ".join(flag for option in options(parser, {}) for flag in option.flags)


BASH = """\
# bash completion for telvar
_telvar() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local command= word words
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
            %(command_pattern)s) command=$word; break ;;
        esac
    done
    case $prev in
%(value_cases)s    esac
    case $command in
%(command_cases)s    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _telvar telvar
"""


def bash(parser: argparse.ArgumentParser, values: Values) -> str:
    subparsers = commands(parser)
    value_cases = ""
    seen: set[str] = set()
    for option in options(parser, values) + [
        o for sub in subparsers.values() for o in options(sub, values)
    ]:
        if option.takes_value and option.flags[0] not in seen:
            seen.add(option.flags[0])
            reply = f'COMPREPLY=($(compgen -W "{" ".join(option.choices)}" -- "$cur"))'
            value_cases += f"        {'|'.join(option.flags)}) {reply}; return ;;\n"
    command_cases = f'        "") words="{words(parser)} {" ".join(subparsers)}" ;;\n'
    for name, sub in subparsers.items():
        command_cases += (
            f'        {name}) words="{words(sub)} {" ".join(positional_choices(sub))}" ;;\n'
        )
    return BASH % dict(
        command_pattern="|".join(subparsers),
        value_cases=value_cases,
        command_cases=command_cases,
    )


def zsh(parser: argparse.ArgumentParser, values: Values) -> str:
    # zsh runs the bash function through its bash completion layer.
    return "#compdef telvar\nautoload -U +X bashcompinit && bashcompinit\n" + bash(parser, values)


def fish_quote(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def fish(parser: argparse.ArgumentParser, values: Values) -> str:
    subparsers = commands(parser)
    lines = ["# fish completion for telvar", "complete -c telvar -f"]
    names = " ".join(subparsers)
    for name, sub in subparsers.items():
        lines.append(
            f"complete -c telvar -n 'not __fish_seen_subcommand_from {names}' -a {name}"
            f" -d {fish_quote(sub.description or '')}"
        )
        choices = " ".join(positional_choices(sub))
        if choices:
            lines.append(
                f"complete -c telvar -n '__fish_seen_subcommand_from {name}' -a '{choices}'"
            )
    seen: set[tuple[str, ...]] = set()
    for option in options(parser, values) + [
        o for sub in subparsers.values() for o in options(sub, values)
    ]:
        if option.flags in seen:
            continue
        seen.add(option.flags)
        spec = ""
        for flag in option.flags:
            spec += f" -l {flag[2:]}" if flag.startswith("--") else f" -s {flag[1:]}"
        if option.choices:
            spec += f" -x -a '{' '.join(option.choices)}'"
        elif option.takes_value:
            spec += " -x"
        lines.append(f"complete -c telvar{spec} -d {fish_quote(option.help)}")
    return "\n".join(lines) + "\n"


SCRIPTS: dict[str, Callable[[argparse.ArgumentParser, Values], str]] = {
    "bash": bash,
    "zsh": zsh,
    "fish": fish,
}


def script(shell: str, parser: argparse.ArgumentParser, values: Values) -> str:
    """The script for ``shell``; ``values`` lists the values of options without choices."""
    return SCRIPTS[shell](parser, values)
