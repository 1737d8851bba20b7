"""What the ``telvar`` command knows about the registry besides the tree itself.

- Loading: ``Inventory.load_external`` loads every entry point of the plugin
  group on its own, so a plugin that fails is reported and the others still
  load (``PluginManager.discover_external_plugins`` stops at the first
  failure). What a failing plugin registered is undone.
- Registrations: the levels each record was registered for, which plugin
  made it, and the classes it replaced.
- Origins: which distribution owns the file a class comes from.
- Records: one row per registered class, with the levels it was registered for.
- Lookups: the steps ``get_plugin`` takes through a tree, for ``telvar explain``.
"""

import contextlib
import csv
import os.path
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from importlib import metadata
from typing import Any, TypedDict

import telvar.plugins
from telvar import log
from telvar.core import pluginmanager
from telvar.core.pluginmanager import PluginManager

BUILTIN = "built-in"
UNKNOWN = "unknown"
DEFAULT_CHASSIS = "single_rp"
LEVELS = ("os", "platform", "model", "os_flavor")
ROW_KEYS = LEVELS + ("chassis_type", "class", "file", "origin", "replaces")

Path = tuple[Any, ...]
# A record's place in the tree: the path of its node and its chassis type.
Slot = tuple[Path, Any]
Row = TypedDict(
    "Row",
    {
        "os": Any,
        "platform": Any,
        "model": Any,
        "os_flavor": Any,
        "chassis_type": Any,
        "class": str,
        "file": Any,
        "origin": str,
        "replaces": list[str],
    },
)


def describe_exception(exc: BaseException) -> str:
    """``Type: message``, or the type alone when the message is empty."""
    try:
        text = str(exc)
    except Exception:
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def distribution_label(dist: metadata.Distribution | None) -> str:
    """``<name> <version>`` of a distribution, or ``unknown``."""
    if dist is None:
        return UNKNOWN
    # The two headers alone: much quicker than the whole parse of dist.metadata.
    fields: dict[str, str] = {}
    for line in (dist.read_text("METADATA") or dist.read_text("PKG-INFO") or "").splitlines():
        if not line:
            break
        key, _, value = line.partition(":")
        if key in ("Name", "Version"):
            fields.setdefault(key, value.strip())
    if len(fields) < 2:
        fields = {"Name": dist.name, "Version": dist.version}
    return f"{fields['Name']} {fields['Version']}"


class Source:
    """Where records come from: built in, or one distribution.

    Its label (``built-in``, ``<name> <version>`` or ``unknown``) is read from
    the distribution's metadata on first use only: most runs never need it.
    """

    def __init__(self, dist: metadata.Distribution | None, label: str | None = None) -> None:
        self.dist = dist
        self._label = label

    @property
    def label(self) -> str:
        if self._label is None:
            self._label = distribution_label(self.dist)
        return self._label


BUILTIN_SOURCE = Source(None, BUILTIN)
UNKNOWN_SOURCE = Source(None, UNKNOWN)


def class_name(cls: object) -> str:
    """The dotted name of a class: its module and qualified name."""
    module = getattr(cls, "__module__", None)
    qualname = getattr(cls, "__qualname__", None) or repr(cls)
    return f"{module}.{qualname}" if module else str(qualname)


def node_name(path: Path) -> str:
    return "/".join(map(str, path)) or "the root"


@dataclass(frozen=True)
class LoadFailure:
    """An entry point whose load raised; ``undone``: its register and unregister calls, taken back."""

    name: str
    value: str
    origin: str
    error: BaseException
    undone: int = 0

    def __str__(self) -> str:
        source = "" if self.origin == UNKNOWN else f" from {self.origin}"
        text = (
            f"plugin {self.name!r} ({self.value}){source} failed to load: "
            f"{describe_exception(self.error)}"
        )
        if self.undone:
            plural = "s" if self.undone != 1 else ""
            text += f" (its {self.undone} registry change{plural} undone)"
        return text


@dataclass(frozen=True)
class Replacement:
    """A registration that replaced a record another distribution made."""

    slot: Slot
    cls: object
    origin: str
    previous: object
    previous_origin: str

    def __str__(self) -> str:
        path, chassis_type = self.slot
        return (
            f"{class_name(self.cls)} from {self.origin} replaces "
            f"{class_name(self.previous)} from {self.previous_origin} "
            f"at {node_name(path)} ({chassis_type})"
        )


@dataclass
class Registration:
    """A ``register_plugin`` call seen while plugins loaded."""

    cls: object
    levels: dict[str, Any]
    maker: Source  # that of the plugin that was loading
    replaces: list[str] = field(default_factory=list)


def lookup_path(
    os: Any, platform: Any = None, model: Any = None, os_flavor: Any = None
) -> list[tuple[str, Any]]:
    """The path the manager files a device under: pairs of (level, element)."""
    path = [("os", os)]
    if model is not None:
        path += [("platform", platform), ("model", model)]
    elif platform is not None:
        path.append(("platform", platform))
    if os_flavor is not None:
        path.append(("os_flavor", os_flavor))
    return path


class _Journal:
    """What one plugin's load changed, so that a failure can take it back.

    Registration and unregistration only change the dicts along one path: the
    nodes, whose new children hang below them, and the final data map. Each is
    saved, items and order, before its first change.
    """

    def __init__(self) -> None:
        self.saved: dict[int, tuple[dict[Any, Any], list[tuple[Any, Any]]]] = {}
        self.bookkeeping: list[tuple[Slot, Registration | None]] = []
        self.replacements: list[Replacement] = []
        self.count = 0

    def save(self, tree: dict[Any, Any], slot: Slot) -> Any:
        """Save the dicts along the slot's path; returns the record filed there, or None."""
        node: Any = tree
        with contextlib.suppress(Exception):  # an unhashable element: the manager refuses it
            self.keep(node)
            for element in slot[0]:
                node = node.get(element)
                if not isinstance(node, dict):
                    return None
                self.keep(node)
            data = node.get("data")
            if not isinstance(data, dict):
                return None
            self.keep(data)
            record = data.get(slot[1])
            return record if isinstance(record, dict) else None
        return None

    def keep(self, node: dict[Any, Any]) -> None:
        if id(node) not in self.saved:
            self.saved[id(node)] = (node, list(node.items()))

    def restore(self, registrations: dict[Slot, Registration]) -> None:
        for node, items in self.saved.values():
            node.clear()
            node.update(items)
        for slot, previous in reversed(self.bookkeeping):
            if previous is None:
                registrations.pop(slot, None)
            else:
                registrations[slot] = previous


class FileOwners:
    """Which plugin distribution owns a file, read from their file lists on first use."""

    def __init__(self, sources: list[Source]) -> None:
        self.sources = sources
        self.owners: dict[str, Source] | None = None
        self.found: dict[str, Source | None] = {}  # per path asked for: records share files

    def owner(self, path: str) -> Source | None:
        if path in self.found:
            return self.found[path]
        if self.owners is None:
            self.owners = {}
            for source in self.sources:
                for file in source_files(source.dist):
                    self.owners.setdefault(file, source)
        found = self.found[path] = self.owners.get(os.path.abspath(path))
        return found


def source_files(dist: metadata.Distribution | None) -> list[str]:
    """The absolute paths of the Python files a distribution installed."""
    if dist is None:
        return []
    listing = dist.read_text("RECORD")
    if listing is None:  # not installed from a wheel: the slower general reading
        names = [str(file) for file in dist.files or ()]
    else:  # quick reading of the usual case
        names = [row[0] for row in csv.reader(listing.splitlines()) if row]
    base = str(dist.locate_file(""))
    return [os.path.abspath(os.path.join(base, name)) for name in names if name.endswith(".py")]


class Inventory:
    """Loads the plugins into ``manager`` and keeps what the registry cannot tell.

    - ``registrations``: per ``(path, chassis_type)``, the last registration
      seen while loading (the tree alone cannot tell a platform from an OS
      flavour: both are the second element of a path);
    - ``failures``: the plugins that failed to load, their registrations undone;
    - ``replacements``: registrations that replaced another distribution's record;
    - ``sources``: the origin of every entry-point module.
    """

    def __init__(self, manager: PluginManager) -> None:
        self.manager = manager
        self.registrations: dict[Slot, Registration] = {}
        self.failures: list[LoadFailure] = []
        self.replacements: list[Replacement] = []
        self.sources: dict[str, Source] = {}
        self.files = FileOwners([])

    def load_builtin(self) -> None:
        """``discover_builtin_plugins``, watched; its exception propagates."""
        with self.watching(BUILTIN_SOURCE):
            PluginManager.discover_builtin_plugins()

    def load_external(
        self,
        on_failure: Callable[[LoadFailure], object] | None = None,
        on_replacement: Callable[[Replacement], object] | None = None,
    ) -> None:
        """Load each entry point of the plugin group on its own.

        A load that raises anything but ``KeyboardInterrupt`` (``SystemExit``
        included) is a failure of that plugin: what it registered or
        unregistered is undone, and ``on_failure`` gets it. A registration that
        replaced a record of another origin goes to ``on_replacement`` once its
        plugin has loaded.
        """
        entry_points = metadata.entry_points(group=pluginmanager.ENTRYPOINT_GROUP)
        by_dist: dict[int, Source] = {}  # one per distribution: its own records share it
        loads = []
        for entry_point in entry_points:
            dist = entry_point.dist
            source = by_dist.setdefault(id(dist), Source(dist))
            self.sources.setdefault(entry_point.module, source)
            loads.append((entry_point, source))
        self.files = FileOwners(list(by_dist.values()))
        for entry_point, source in loads:
            self._load_one(entry_point, source, on_failure, on_replacement)

    def _load_one(
        self,
        entry_point: metadata.EntryPoint,
        source: Source,
        on_failure: Callable[[LoadFailure], object] | None,
        on_replacement: Callable[[Replacement], object] | None,
    ) -> None:
        log.debug("Loading external plugin %s from %s", entry_point.name, entry_point.module)
        with self.watching(source) as journal:
            try:
                entry_point.load()
            except KeyboardInterrupt:
                raise
            except BaseException as exc:
                log.debug("Plugin %s failed to load", entry_point.name, exc_info=True)
                journal.restore(self.registrations)
                failure = LoadFailure(
                    entry_point.name, entry_point.value, source.label, exc, journal.count
                )
                self.failures.append(failure)
                if on_failure is not None:
                    on_failure(failure)
                return
        self.replacements += journal.replacements
        if on_replacement is not None:
            for replacement in journal.replacements:
                on_replacement(replacement)

    @contextlib.contextmanager
    def watching(self, maker: Source) -> Iterator[_Journal]:
        """Watch ``register_plugin`` and ``unregister_plugin`` on the manager."""
        journal = _Journal()
        manager = self.manager
        register, unregister = manager.register_plugin, manager.unregister_plugin
        own = vars(manager)
        previous = {name: own.get(name) for name in ("register_plugin", "unregister_plugin")}

        def register_plugin(
            cls: type[Any],
            os: str | None = None,
            platform: str | None = None,
            model: str | None = None,
            os_flavor: str | None = None,
            chassis_type: str | None = DEFAULT_CHASSIS,
        ) -> None:
            levels = dict(os=os, platform=platform, model=model, os_flavor=os_flavor)
            slot = (tuple(element for _, element in lookup_path(**levels)), chassis_type)
            replaced = journal.save(manager.plugins, slot)
            register(cls, os, platform, model, os_flavor, chassis_type)
            journal.count += 1
            self._note(journal, slot, Registration(cls, levels, maker), replaced)

        def unregister_plugin(
            os: str | None = None,
            platform: str | None = None,
            model: str | None = None,
            os_flavor: str | None = None,
            chassis_type: str | None = None,
        ) -> None:
            path = tuple(element for _, element in lookup_path(os, platform, model, os_flavor))
            journal.save(manager.plugins, (path, chassis_type))
            unregister(os, platform, model, os_flavor, chassis_type)
            journal.count += 1

        manager.register_plugin = register_plugin  # type: ignore[method-assign]
        manager.unregister_plugin = unregister_plugin  # type: ignore[method-assign]
        try:
            yield journal
        finally:
            for name, method in previous.items():
                if method is None:
                    delattr(manager, name)
                else:
                    setattr(manager, name, method)

    def _note(
        self, journal: _Journal, slot: Slot, registration: Registration, replaced: Any
    ) -> None:
        try:
            earlier = self.registrations.get(slot)
        except TypeError:  # unhashable: the row reads the path instead
            return
        journal.bookkeeping.append((slot, earlier))
        self.registrations[slot] = registration
        previous = None if replaced is None else replaced.get("cls")
        previous_source = None
        if earlier is not None and previous is not None and earlier.cls is previous:
            registration.replaces += earlier.replaces  # what it replaced, this one did too
            previous_source = earlier.maker
        if previous is None or previous is registration.cls:
            return
        if previous_source is None:
            previous_source = self.source_of(previous, replaced.get("path"))
        name = class_name(previous)
        if name not in registration.replaces:
            registration.replaces.append(name)
        maker = registration.maker
        if previous_source is not maker and previous_source.label != maker.label:
            journal.replacements.append(
                Replacement(slot, registration.cls, maker.label, previous, previous_source.label)
            )

    def origin(self, cls: object, path: object = None) -> str:
        """``built-in``, the distribution that owns the class's file, or ``unknown``.

        A file no plugin distribution lists falls back to the entry-point
        module that holds the class.
        """
        return self.source_of(cls, path).label

    def source_of(self, cls: object, path: object = None) -> Source:
        module = getattr(cls, "__module__", None)
        if not isinstance(module, str):
            return UNKNOWN_SOURCE
        builtin = telvar.plugins.__name__
        if module == builtin or module.startswith(builtin + "."):
            return BUILTIN_SOURCE
        if isinstance(path, str):
            owner = self.files.owner(path)
            if owner is not None:
                return owner
        name = module
        while name:
            if name in self.sources:
                return self.sources[name]
            name = name.rpartition(".")[0]
        return UNKNOWN_SOURCE

    def records(self, tree: dict[Any, Any] | None = None) -> list[Row]:
        """One row per registered record (keys ``ROW_KEYS``), parents before children.

        A record registered while loading gets the levels it was registered
        for; any other is read as os/platform/model/os_flavor by the depth of
        its path.
        """
        tree = self.manager.plugins if tree is None else tree
        return [self.row(*place) for place in walk_records(tree)]

    def row(self, path: Path, chassis_type: Any, record: dict[Any, Any]) -> Row:
        cls = record.get("cls")
        try:
            known = self.registrations.get((path, chassis_type))
        except TypeError:
            known = None
        if known is not None and known.cls is cls:
            levels, replaces = known.levels, list(known.replaces)
        else:
            levels = dict.fromkeys(LEVELS) | dict(zip(LEVELS, path, strict=False))
            replaces = []
        return {
            "os": levels["os"],
            "platform": levels["platform"],
            "model": levels["model"],
            "os_flavor": levels["os_flavor"],
            "chassis_type": chassis_type,
            "class": class_name(cls),
            "file": record.get("path"),
            "origin": self.origin(cls, record.get("path")),
            "replaces": replaces,
        }


def walk_records(tree: dict[Any, Any]) -> Iterator[tuple[Path, Any, dict[Any, Any]]]:
    """``(path, chassis_type, record)`` for every record, parents before children."""

    def visit(node: dict[Any, Any], path: Path) -> Iterator[tuple[Path, Any, dict[Any, Any]]]:
        data = node.get("data")
        if isinstance(data, dict):
            for chassis_type in sorted(data, key=str):
                if isinstance(data[chassis_type], dict):
                    yield path, chassis_type, data[chassis_type]
        for key in sorted(node, key=str):
            if key != "data" and isinstance(node[key], dict):
                yield from visit(node[key], path + (key,))

    return visit(tree, ())


@dataclass(frozen=True)
class Step:
    level: str
    element: Any
    matched: bool
    node: Path  # the path of the node the walk is at after this step


@dataclass(frozen=True)
class Trace:
    steps: tuple[Step, ...]
    chassis_type: Any
    registered: tuple[Any, ...] | None  # chassis types of the final node's data map, or None
    record: dict[Any, Any] | None

    @property
    def node(self) -> Path:
        return self.steps[-1].node

    @property
    def cls(self) -> Any:
        return None if self.record is None else self.record["cls"]


def trace_lookup(
    tree: dict[Any, Any],
    os: Any,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = DEFAULT_CHASSIS,
) -> Trace:
    """The walk ``get_plugin`` makes through ``tree``, step by step, after validation.

    A path element that is a key of the current node is descended into; any
    other is skipped, and the walk stays where it is. The reserved key "data"
    is never a child: a lookup that names it falls back as for an absent
    element. At the end the node's data map decides.
    """
    node: Any = tree
    at: Path = ()
    steps: list[Step] = []
    for level, element in lookup_path(os, platform, model, os_flavor):
        matched = element != "data" and element in node.keys()
        if matched:
            node, at = node[element], at + (element,)
        steps.append(Step(level, element, matched, at))
    data = node.get("data")
    record = data[chassis_type] if data is not None and chassis_type in data else None
    registered = None if data is None else tuple(data)
    return Trace(tuple(steps), chassis_type, registered, record)
