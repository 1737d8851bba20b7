"""``check DIST``: one plugin distribution loaded alone, as its own CI checks it.

It loads, registers its records, replaces none of the built-in ones and prints
nothing while it loads: exit code 0. A failure to load is exit code 3; a
replacement or output, 1; a name that is no installed plugin distribution, 2.
"""

import argparse
import io
import sys
from typing import Any

from telvar.cli.loading import diagnostics, import_manager
from telvar.cli.output import (
    EXIT_LOAD,
    EXIT_NOT_FOUND,
    EXIT_OK,
    EXIT_USAGE,
    CommandError,
    StrayOutput,
    did_you_mean,
    emit,
    print_json,
    quoted,
)


def check_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dist", metavar="DIST", help="the distribution to check (its name)")
    parser.add_argument("--json", action="store_true", help="print JSON")


class Printed:
    """What each of the distribution's entry points wrote to sys.stdout and sys.stderr."""

    def __init__(self) -> None:
        self.text: dict[str, str] = {}
        self.capture = io.StringIO()

    def before(self, name: str) -> None:
        self.capture = io.StringIO()
        # What the command's own sys.stdout offers; the loader restores both after the load.
        sys.stdout = sys.stderr = StrayOutput(self.capture)

    def after(self, name: str) -> None:
        if self.capture.getvalue():
            self.text[name] = self.capture.getvalue()


def check(args: argparse.Namespace) -> int:
    from telvar import inventory, origins
    from telvar.core import pluginmanager

    found = origins.entry_points(pluginmanager.ENTRYPOINT_GROUP, lambda source: None)
    dists = {source.name: source for _, source in found if source.dist is not None}
    chosen = [name for name, source in dists.items() if source.named(args.dist)]
    if not chosen:
        hint = did_you_mean(args.dist, sorted(dists))
        message = f"error: no installed distribution named {quoted(args.dist)} has plugins{hint}"
        raise CommandError(message, EXIT_USAGE)
    manager = import_manager(quiet=True)
    loaded = inventory.Inventory(manager)
    loaded.load_builtin()
    printed = Printed()
    loaded.before_load, loaded.after_load = printed.before, printed.after
    loaded.load_external(disabled=[name for name in dists if name not in chosen])
    report = check_report(loaded, chosen[0], printed)
    code = EXIT_LOAD if report["failures"] else EXIT_OK
    if code == EXIT_OK and (report["replaces"] or report["printed"]):
        code = EXIT_NOT_FOUND
    if args.json:
        print_json(report | {"ok": code == EXIT_OK, "diagnostics": diagnostics(loaded)})
    else:
        show_report(report)
    return code


def check_report(loaded: Any, dist: str, printed: Printed) -> dict[str, Any]:
    mine = [load for load in loaded.plugins if load.status != "disabled"]
    return {
        "distribution": dist,
        "plugins": [load.name for load in mine],
        "seconds": round(sum(load.seconds for load in mine), 6),
        "records": [row for row in loaded.records() if row["origin"] != "built-in"],
        "replaces": [str(replacement) for replacement in loaded.replacements],
        "printed": printed.text,
        "failures": [str(failure) for failure in loaded.failures],
    }


def show_report(report: dict[str, Any]) -> None:
    plugins = ", ".join(report["plugins"]) or "none"
    emit(
        f"{report['distribution']}: plugins {plugins}; loaded in {report['seconds'] * 1000:.1f} ms"
    )
    for row in report["records"]:
        place = "/".join(
            str(row[key]) for key in ("os", "platform", "model", "os_flavor") if row[key]
        )
        emit(f"  registers {place} ({row['chassis_type']}): {row['class']}")
    for line in report["replaces"]:
        emit(f"  replaces: {line}")
    for name, text in report["printed"].items():
        emit(f"  prints while loading ({name}): {text.strip()[:200]!r}")
    for line in report["failures"]:
        emit(f"  fails: {line}")
    problems = report["failures"] or report["replaces"] or report["printed"]
    emit("result: " + ("problems found" if problems else "ok"))
