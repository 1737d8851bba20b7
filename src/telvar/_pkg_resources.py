"""telvar's stand-in for a missing or broken ``pkg_resources``: its ``iter_entry_points`` alone.

The plugin manager takes ``iter_entry_points`` from ``pkg_resources`` when it
is imported. When ``pkg_resources`` is missing (uninstalled, or its files
deleted by another distribution's uninstall) or broken (what is left of it is a
namespace package, or a module without ``iter_entry_points``), importing
``telvar`` puts this module in ``sys.modules["pkg_resources"]``, so that telvar
still imports and works. It never replaces a ``pkg_resources`` that works, one
whose own import raises (that error is the one to see), one still being
imported, or an explicit block (``sys.modules["pkg_resources"] = None``). The
``telvar`` command then names the repair on one warning line; the import
itself warns through telvar's logger only, never through the warnings module.

It offers ``iter_entry_points(group, name=None)`` and nothing else: any other
name raises AttributeError naming the repair (``from pkg_resources import X``
raises ImportError, naming this module), so that other code that needs the real
``pkg_resources`` fails at once, and says why.

``iter_entry_points`` reads the installed distributions' metadata through
``importlib.metadata`` at each call, and yields the entry points of the group
in the order ``pkg_resources`` does:

- folders in the order of ``sys.path`` as it is at the call (``pkg_resources``
  fixes its list when it is first imported); in one folder, the distributions
  in the order of their metadata folders' names; in one distribution, the
  order of its ``entry_points.txt``;
- a project seen again (another copy in a later folder, or a second metadata
  folder of the same project in one folder) is left out: the first one wins,
  as the import system's first copy of a module does. Names are compared
  normalised (``My_Plugin`` is ``my-plugin``);
- one name twice in one group of one distribution: the first counts
  (``pkg_resources`` refuses such a list with ValueError);
- one name in two distributions: both, being two plugins.

An entry point has ``name``, ``module_name``, ``attrs`` and ``load()``, which
imports the module and follows the attribute path after ``:``, if any; a
missing attribute is an ImportError, as with ``pkg_resources``. It does not
check the distribution's requirements as ``pkg_resources``' ``load`` does
(``pip check`` reports the same).
"""

import os
import re
import shlex
import sys
from collections.abc import Iterator
from importlib import metadata
from typing import Any

# What repairs a missing or broken pkg_resources, run by the environment's own Python.
REPAIR = "-m pip install --force-reinstall pkg-resources-backport"

# Why the real pkg_resources could not serve ("Type: message" of its import's failure),
# set when this module stands in for it.
reason: str | None = None

_VALUE = re.compile(r"(?P<module>[\w.]+)\s*(?::\s*(?P<attrs>[\w.]+)\s*)?(?:\[[^\]]*\]\s*)?")
_SEPARATORS = re.compile(r"[-_.]+")


def repair_command() -> str:
    """The command that brings the real ``pkg_resources`` back into this environment."""
    return f"{shlex.quote(sys.executable)} {REPAIR}"


def describe() -> str:
    """What is wrong, what telvar does about it, and the repair: one line."""
    return (
        f"pkg_resources is missing or broken ({reason or 'unknown'}); telvar reads the "
        f"plugins' entry points without it, but other code that needs it fails; "
        f"repair it: {repair_command()}"
    )


class EntryPoint:
    """One entry point: ``name = module_name:attrs``."""

    __slots__ = ("attrs", "module_name", "name")

    def __init__(self, name: str, module_name: str, attrs: tuple[str, ...]) -> None:
        self.name = name
        self.module_name = module_name
        self.attrs = attrs

    def load(self) -> Any:
        """The module, or the object the attribute path names in it."""
        found = __import__(self.module_name, fromlist=["__name__"], level=0)
        for attr in self.attrs:
            try:
                found = getattr(found, attr)
            except AttributeError as exc:
                raise ImportError(str(exc)) from exc
        return found

    def __repr__(self) -> str:
        target = self.module_name + (":" + ".".join(self.attrs) if self.attrs else "")
        return f"<EntryPoint {self.name} = {target}>"


def _folder_name(dist: metadata.Distribution) -> str:
    """The name of the folder that holds a distribution's metadata, or an empty text."""
    return str(getattr(getattr(dist, "_path", None), "name", ""))


def _project(dist: metadata.Distribution) -> str | None:
    """A distribution's normalised project name, from its metadata folder's name if it can."""
    folder = _folder_name(dist)
    stem = re.sub(r"\.(dist|egg)-info$", "", folder, flags=re.IGNORECASE)
    name = stem.partition("-")[0] if folder else dist.metadata["Name"]
    return _SEPARATORS.sub("-", name).lower() if name else None


def _distributions() -> Iterator[metadata.Distribution]:
    """Installed distributions in ``pkg_resources``' order, the first of each project."""
    folders: set[str] = set()
    projects: set[str] = set()
    for entry in list(sys.path):
        if not isinstance(entry, str):
            continue
        folder = os.path.normcase(os.path.abspath(entry or os.curdir))
        if folder in folders:
            continue
        folders.add(folder)
        found = metadata.distributions(path=[entry])
        for dist in sorted(found, key=lambda dist: (not _folder_name(dist), _folder_name(dist))):
            project = _project(dist)
            if project is not None:
                if project in projects:
                    continue
                projects.add(project)
            yield dist


def iter_entry_points(group: str, name: str | None = None) -> Iterator[EntryPoint]:
    """The entry points of ``group`` (only those called ``name``, if given), in load order."""
    for dist in _distributions():
        seen: set[str] = set()
        for point in dist.entry_points.select(group=group):
            if (name is not None and point.name != name) or point.name in seen:
                continue
            seen.add(point.name)
            value = _VALUE.fullmatch(point.value.strip())
            if value is None:
                raise ValueError(
                    f"invalid entry point in group {group!r}: {point.name} = {point.value}"
                )
            attrs = value["attrs"]
            yield EntryPoint(point.name, value["module"], tuple(attrs.split(".")) if attrs else ())


def __getattr__(name: str) -> Any:
    """Anything else: the real ``pkg_resources`` is needed, and the error says how to get it."""
    if name.startswith("__") and name.endswith("__"):
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    raise AttributeError(
        f"pkg_resources.{name}: telvar stands in for a missing or broken pkg_resources "
        f"({reason or 'unknown'}) with iter_entry_points alone; repair it: {repair_command()}",
        name=name,
        obj=sys.modules[__name__],
    )
