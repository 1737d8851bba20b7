"""A pytest plugin for the authors of telvar plugins; never loaded unless asked.

Ask for it in the plugin's tests (``conftest.py``)::

    pytest_plugins = ["telvar.testing"]

or on the command line: ``pytest -p telvar.testing``. Its fixture
``telvar_manager`` is the shared plugin manager, the one plugins register into
(``telvar.manager.plugin_manager``), holding only telvar's built-in records for
the length of one test; whatever the test registers is gone after it. Its
``load`` imports a plugin module afresh, so that its registrations run again
in each test.
"""

import importlib
import sys
from collections.abc import Iterator
from typing import Any

import pytest

from telvar.registry import DATA, walk_records


class IsolatedManager:
    """The shared plugin manager with a registry of its own, for one test."""

    def __init__(self, manager: Any) -> None:
        self.manager = manager

    def __getattr__(self, name: str) -> Any:
        return getattr(self.manager, name)

    def load(self, module: str) -> Any:
        """Import ``module`` afresh (its submodules too): its registrations run again."""
        for name in [
            name for name in sys.modules if name == module or name.startswith(module + ".")
        ]:
            del sys.modules[name]
        return importlib.import_module(module)


def builtin_registry(tree: dict[Any, Any]) -> dict[Any, Any]:
    """A new registry holding the built-in records of ``tree`` alone."""
    import telvar.plugins

    prefix = telvar.plugins.__name__
    copy: dict[Any, Any] = {}
    for path, chassis_type, record in walk_records(tree):
        module = getattr(record.get("cls"), "__module__", "") or ""
        if module == prefix or module.startswith(prefix + "."):
            node = copy
            for element in path:
                node = node.setdefault(element, {})
            node.setdefault(DATA, {})[chassis_type] = dict(record)
    return copy


@pytest.fixture
def telvar_manager() -> Iterator[IsolatedManager]:
    """The plugin manager with telvar's built-in records only, restored after the test."""
    from telvar.manager import plugin_manager

    plugin_manager.discover_builtin_plugins()
    saved = plugin_manager._plugins
    plugin_manager._plugins = builtin_registry(saved)
    try:
        yield IsolatedManager(plugin_manager)
    finally:
        plugin_manager._plugins = saved
