"""Typed use of the plugin manager, checked by ``make typecheck`` (mypy --strict).

Not a test module: pytest does not collect it. The ``type: ignore`` comments mark
misuse the type information must reject; mypy runs with ``--warn-unused-ignores``,
so a comment that no longer matches an error fails the check.
"""

from typing import Any, assert_type

from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import ENTRYPOINT_GROUP, PluginManager


class AlphaConnection:
    """Connects to alpha devices."""


def lookup(manager: PluginManager) -> type[Any]:
    manager.register_plugin(AlphaConnection, os="alpha", platform="p1")
    manager.register_plugin(AlphaConnection, "alpha", "p1", "m1", None, "dual_rp")
    try:
        found = manager.get_plugin(os="alpha", platform="p1", model="m9")
    except ConnectionInfraError:
        raise
    manager.unregister_plugin(os="alpha", platform="p1", model="m1", chassis_type="dual_rp")
    return found


def inspect_registry(manager: PluginManager) -> str:
    assert_type(manager.plugins, dict[str, Any])
    assert_type(manager.chassis_type_list, list[str])
    assert_type(manager.supported_os, list[str])
    assert_type(ENTRYPOINT_GROUP, str)
    PluginManager.discover_builtin_plugins()
    manager.discover_external_plugins()
    return manager.print_tree(manager.plugins) + manager.print_tree(data={}, output="x")


def misuse(manager: PluginManager) -> None:
    manager.get_plugin(os=1)  # type: ignore[arg-type]
    manager.get_plugin(flavor="x")  # type: ignore[call-arg]
    manager.register_plugin(os="alpha")  # type: ignore[call-arg]
    manager.validate_os()  # type: ignore[call-arg]
    manager.discover_builtin_plugins(manager)  # type: ignore[call-arg]
    print(manager.print_tree({}).missing)  # type: ignore[attr-defined]
    registered = manager.unregister_plugin()  # type: ignore[func-returns-value]
    print(registered)
