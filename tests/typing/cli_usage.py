"""Typed use of the ``telvar`` command and the fault-isolated loader, checked by ``make typecheck``.

Not a test module: pytest does not collect it. The ``type: ignore`` comments mark
misuse the type information must reject (mypy runs with ``--warn-unused-ignores``).
"""

import sys
from typing import assert_type

from telvar import inventory
from telvar.cli import main
from telvar.manager import plugin_manager


def run_command() -> None:
    assert_type(main(["list", "--json"]), int)
    assert_type(main(), int)
    main(("resolve", "--os", "alpha"))
    sys.exit(main(sys.argv[1:]))


def load(strict: bool) -> list[str]:
    loaded = inventory.Inventory(plugin_manager)
    loaded.load_builtin()
    failures: list[inventory.LoadFailure] = []
    loaded.load_external(on_failure=failures.append, on_replacement=print)
    assert_type(loaded.failures, list[inventory.LoadFailure])
    assert_type(loaded.replacements, list[inventory.Replacement])
    for failure in failures:
        assert_type(failure.error, BaseException)
        assert_type(failure.undone, int)
    rows = loaded.records()
    assert_type(rows[0]["class"], str)
    assert_type(rows[0]["replaces"], list[str])
    assert_type(loaded.origin(type(plugin_manager)), str)
    rows[0]["klass"]  # type: ignore[typeddict-item]
    loaded.load_external(on_failure=len)  # type: ignore[arg-type]
    warned = inventory.Inventory(plugin_manager, on_warning=print)
    warned.load_external(disabled={"gamma"})
    warned.load_external(disabled="gamma,beta")
    for conflict in warned.conflicts():
        assert_type(conflict.providers, tuple[inventory.Provider, ...])
        assert_type(conflict.winner, inventory.Provider | None)
    inventory.Inventory(plugin_manager, on_warning="stderr")  # type: ignore[arg-type]
    trace = inventory.trace_lookup(plugin_manager.plugins, "alpha", platform="edge")
    assert_type(trace.steps, tuple[inventory.Step, ...])
    return [str(failure) for failure in loaded.failures] + [step.level for step in trace.steps]
