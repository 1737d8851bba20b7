"""Type information for the native plugin manager ``telvar.core.pluginmanager``."""

import importlib as importlib
import os as os
import pkgutil as pkgutil
from inspect import getfile as getfile
from typing import Any

from pkg_resources import iter_entry_points as iter_entry_points

from telvar import log as log
from telvar.core.errors import ConnectionInfraError as ConnectionInfraError
from telvar.plugins import supported_chassis as supported_chassis
from telvar.plugins import supported_os as supported_os

ENTRYPOINT_GROUP: str

class PluginManager:
    """Loads plugin implementations and offers look-up of connection classes."""

    _plugins: dict[str, Any]
    chassis_type_list: list[str]
    supported_os: list[str]

    def __init__(self) -> None: ...
    @property
    def plugins(self) -> dict[str, Any]:
        """The registry tree itself (not a copy)."""

    @plugins.setter
    def plugins(self, value: object) -> None:
        """Always raises ``Exception``: the registry cannot be replaced."""

    def validate_model(self, os: str | None, platform: str | None, model: str | None) -> None: ...
    def validate_platform(self, os: str | None, platform: str | None) -> None: ...
    def validate_os(self, os: str | None) -> None: ...
    def validate_chassis_type(self, chassis_type: str | None) -> None: ...
    def validate_arguments(
        self, os: str | None, platform: str | None, model: str | None, chassis_type: str | None
    ) -> None: ...
    def get_plugin(
        self,
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> type[Any]: ...
    def unregister_plugin(
        self,
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type[Any],
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: dict[str, Any], output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
