"""The plugins loaded as the ``telvar`` command loads them, and what the registry cannot tell.

- Loading: ``Inventory.load_external`` loads every entry point of the plugin
  group on its own, so a plugin that fails is reported and the others still
  load (``PluginManager.discover_external_plugins`` stops at the first
  failure). What a failing plugin changed is taken back (``telvar.journal``).
- Registrations: the levels each record was registered for, which plugin
  made it, the classes it replaced, and the records several distributions
  provide.
- Origins: which distribution owns the file a class comes from
  (``telvar.origins``).
- Records: one row per registered class, with the levels it was registered for.
- Lookups: the steps ``get_plugin`` takes through a tree (``telvar.tracing``).
"""

import contextlib
import dataclasses
import os
import sys
import time
from collections.abc import Callable, Collection, Iterator
from dataclasses import dataclass
from importlib import metadata
from typing import Any, NamedTuple, TypedDict

import telvar.plugins
from telvar import journal, log
from telvar.core import pluginmanager
from telvar.core.pluginmanager import PluginManager
from telvar.journal import Call, Change, Journal, Registration, Replacement
from telvar.origins import BUILTIN, BUILTIN_SOURCE, UNKNOWN, UNKNOWN_SOURCE, FileOwners, Source
from telvar.registry import (
    CLS,
    DEFAULT_CHASSIS,
    LEVELS,
    PATH,
    Path,
    Slot,
    class_name,
    node_name,
    record_at,
    walk_records,
)
from telvar.tracing import Step, Trace, trace_lookup

ROW_KEYS = LEVELS + ("chassis_type", "class", "file", "origin", "replaces")

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

__all__ = [
    "BUILTIN",
    "DEFAULT_CHASSIS",
    "ROW_KEYS",
    "UNKNOWN",
    "Conflict",
    "Inventory",
    "LoadFailure",
    "Provider",
    "Registration",
    "Replacement",
    "Row",
    "Step",
    "Trace",
    "class_name",
    "node_name",
    "trace_lookup",
    "walk_records",
]


@dataclass(frozen=True)
class LoadFailure:
    """An entry point whose load raised; ``undone``: the registry changes it made, taken back."""

    name: str
    value: str
    origin: str
    error: BaseException
    undone: int = 0

    def __str__(self) -> str:
        from telvar.cli.output import describe_exception

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
class PluginLoad:
    """An entry point as the command met it: loaded, failed or disabled, its records kept
    and the time its load took."""

    name: str
    value: str
    source: Source
    status: str
    records: int = 0
    seconds: float = 0.0


def _end_forked_child(pid: int, outcome: object) -> None:
    """A plugin that forked: its child ends where the load returns, and never runs the rest
    of the command (its output would come twice)."""
    if os.getpid() == pid:
        return
    if isinstance(outcome, SystemExit):
        code = outcome.code
        outcome = code if isinstance(code, int) else int(code is not None)
    elif isinstance(outcome, BaseException):
        outcome = 1
    with contextlib.suppress(Exception):
        sys.stderr.flush()
    os._exit(outcome if isinstance(outcome, int) else 1)


class Provider(NamedTuple):
    """A class that a plugin registered at a slot, and where it came from."""

    cls: object
    origin: str


class Conflict(NamedTuple):
    """A record that more than one distribution provides; the last one loaded wins."""

    slot: Slot
    levels: dict[str, Any]
    providers: tuple[Provider, ...]  # in load order
    winner: Provider | None  # the record filed there now, if a provider's


class Inventory:
    """Loads the plugins into ``manager`` and keeps what the registry cannot tell.

    - ``registrations``: per ``(path, chassis_type)``, the last registration
      seen while loading (the tree alone cannot tell a platform from an OS
      flavour: both are the second element of a path);
    - ``failures``: the plugins that failed to load, their changes taken back;
    - ``replacements``: registrations that replaced another distribution's record;
    - ``skipped``: the names of the entry points left out on request;
    - ``sources``: the origin of every entry-point module.

    ``on_warning`` hears of what telvar could only partly read (a
    distribution's files that are not UTF-8), once per distribution.
    """

    def __init__(
        self, manager: PluginManager, on_warning: Callable[[str], object] | None = None
    ) -> None:
        self.manager = manager
        self.on_warning = on_warning
        self.registrations: dict[Slot, Registration] = {}
        self.failures: list[LoadFailure] = []
        self.replacements: list[Replacement] = []
        self.skipped: list[str] = []
        self.disabled_names: set[str] = set()  # the names given that disabled something
        self.sources: dict[str, Source] = {}
        self.files = FileOwners([])
        self._providers: dict[Slot, list[tuple[Registration, object]]] = {}
        self.plugins: list[PluginLoad] = []  # every entry point, in load order
        self.loading: str | None = None  # the entry point being loaded
        self.before_load: Callable[[str], object] | None = None  # told each load's start
        self.after_load: Callable[[str], object] | None = None  # and its end
        self._journal: Journal | None = None
        self._loading = BUILTIN_SOURCE

    def load_builtin(self) -> None:
        """``discover_builtin_plugins``, watched; its exception propagates."""
        with self._watching(), self._load(BUILTIN_SOURCE):
            PluginManager.discover_builtin_plugins()

    def load_external(
        self,
        on_failure: Callable[[LoadFailure], object] | None = None,
        on_replacement: Callable[[Replacement], object] | None = None,
        disabled: Collection[str] = (),
    ) -> None:
        """Load each entry point of the plugin group on its own, in the manager's order.

        A load that raises anything but ``KeyboardInterrupt`` (``SystemExit``
        included) is a failure of that plugin: what its modules changed is
        taken back, and ``on_failure`` gets it. A registration that replaced a
        record of another origin goes to ``on_replacement`` once the load that
        made it has ended. Entry points named in ``disabled`` (names, or one text
        of names separated by commas) are not loaded.
        """
        if isinstance(disabled, str):
            disabled = [name.strip() for name in disabled.split(",") if name.strip()]
        from telvar import origins

        found = origins.entry_points(pluginmanager.ENTRYPOINT_GROUP, self._unreadable)
        loads = []
        for entry_point, source in found:
            with contextlib.suppress(Exception):  # a malformed value: its load reports it
                self.sources.setdefault(entry_point.module, source)
            named = [entry_point.name] if entry_point.name in disabled else []
            if disabled:
                named += [name for name in disabled if source.named(name)]
            if named:
                log.debug("Skipping disabled plugin %s", entry_point.name)
                self.skipped.append(entry_point.name)
                self.disabled_names.update(named)
                self.plugins.append(
                    PluginLoad(entry_point.name, entry_point.value, source, "disabled")
                )
            else:
                loads.append((entry_point, source))
        self.files = FileOwners(list({id(source): source for _, source in found}.values()))
        with self._watching():
            for entry_point, source in loads:
                self._load_one(entry_point, source, on_failure, on_replacement)

    def _unreadable(self, source: Source) -> None:
        if self.on_warning is not None:
            files = ", ".join(source.unreadable)
            self.on_warning(
                f"{source.label}: {files} is not UTF-8; read with the undecodable bytes replaced"
            )

    def _load_one(
        self,
        entry_point: metadata.EntryPoint,
        source: Source,
        on_failure: Callable[[LoadFailure], object] | None,
        on_replacement: Callable[[Replacement], object] | None,
    ) -> None:
        log.debug("Loading external plugin %s from %s", entry_point.name, entry_point.value)
        failure = None
        streams, pid = (sys.stdout, sys.stderr), os.getpid()
        self.loading = entry_point.name
        if self.before_load is not None:
            self.before_load(entry_point.name)
        started = time.perf_counter()
        with self._load(source) as loading:
            try:
                try:
                    loading.culprit = entry_point.module
                except Exception:
                    message = "malformed entry-point value (module or module:attribute)"
                    raise ValueError(message) from None
                entry_point.load()
            except KeyboardInterrupt:
                _end_forked_child(pid, 128 + 2)
                raise
            except BaseException as exc:
                _end_forked_child(pid, exc)
                log.debug("Plugin %s failed to load", entry_point.name, exc_info=True)
                failure = LoadFailure(entry_point.name, entry_point.value, source.label, exc)
            else:
                _end_forked_child(pid, 0)
            finally:
                # The streams are the command's: a plugin that replaced them did so for itself.
                sys.stdout, sys.stderr = streams
            rebound = self.manager.plugins is not loading.tree
            if rebound:  # __init__() called again, or _plugins rebound: the registry is kept
                self.manager._plugins = loading.tree
                if failure is None and self.on_warning is not None:
                    self.on_warning(
                        f"plugin {entry_point.name!r} replaced the plugin manager's registry; "
                        "the registry was kept, with the plugin's registrations"
                    )
            if failure is not None:
                count = loading.direct_edits()
                count += len(loading.undo(self.registrations, load_failed=True))
                failure = dataclasses.replace(failure, undone=count)
            elif rebound or len(loading.kept(load_failed=False)) != len(loading.changes):
                # A module that failed inside a load that went on (its import error caught).
                loading.undo(self.registrations, load_failed=False)
        self.loading = None
        kept = loading.kept(load_failed=failure is not None)
        self._settle(kept)
        self.plugins.append(
            PluginLoad(
                entry_point.name,
                entry_point.value,
                source,
                "loaded" if failure is None else "failed",
                sum(change.registration is not None for change in kept),
                time.perf_counter() - started,
            )
        )
        replacements = [change.replacement for change in kept if change.replacement]
        self.replacements += replacements
        if failure is not None:
            self.failures.append(failure)
            if on_failure is not None:
                on_failure(failure)
        if on_replacement is not None:
            for replacement in replacements:
                on_replacement(replacement)
        if self.after_load is not None:
            self.after_load(entry_point.name)

    @contextlib.contextmanager
    def _watching(self) -> Iterator[None]:
        with journal.watch(self.manager, self._before, self._after):
            yield

    @contextlib.contextmanager
    def _load(self, source: Source) -> Iterator[Journal]:
        """One plugin's load: its journal is the one calls are filed in."""
        self._journal, self._loading = Journal(self.manager.plugins), source
        try:
            yield self._journal
        finally:
            if source is BUILTIN_SOURCE:
                self._settle(self._journal.changes)
            self._journal, self._loading = None, BUILTIN_SOURCE

    def _before(self, slot: Slot) -> None:
        if self._journal is not None:
            self._journal.save(slot)
            self._journal.book(slot, self.registrations)

    def _after(self, call: Call) -> None:
        if self._journal is None:
            return
        change = Change(call)
        self._journal.changes.append(change)
        if call.registering:
            maker = self._maker(call.module)
            registration = Registration(call.cls, call.levels, maker)
            change.registration = registration
            change.replacement = self._note(call, registration)

    def _maker(self, module: str | None) -> Source:
        """The source of the plugin whose module made a call: the one loading, unless
        the module is (or is inside) another entry point's module."""
        name = module or ""
        while name:
            if name in self.sources:
                return self.sources[name]
            name = name.rpartition(".")[0]
        return self._loading

    def _settle(self, changes: list[Change]) -> None:
        """File the registrations that a load kept among each slot's providers."""
        for change in changes:
            if change.registration is not None:
                self._providers.setdefault(change.slot, []).append(
                    (change.registration, change.call.cls)
                )

    def _note(self, call: Call, registration: Registration) -> Replacement | None:
        slot = call.slot
        earlier = self.registrations.get(slot)
        self.registrations[slot] = registration
        if call.previous is None:
            return None
        previous = call.previous.get(CLS)
        previous_source = None
        if earlier is not None and previous is not None and earlier.cls is previous:
            registration.replaces += earlier.replaces  # what it replaced, this one did too
            previous_source = earlier.maker
        if previous is None or previous is registration.cls:
            return None
        if previous_source is None:
            previous_source = self.source_of(previous, call.previous.get(PATH))
        name = class_name(previous)
        if name not in registration.replaces:
            registration.replaces.append(name)
        maker = registration.maker
        if previous_source is not maker and previous_source.label != maker.label:
            return Replacement(slot, registration.cls, maker.label, previous, previous_source.label)
        return None

    def prefer(self, names: Collection[str]) -> set[str]:
        """Settle the records several distributions provide: where one of ``names``
        (distribution names, the first first) provides one, its class is filed there; every
        other record stays as loaded. Returns the names that named a distribution."""
        matched: set[str] = set()
        if not names:
            return matched
        for source in {id(load.source): load.source for load in self.plugins}.values():
            matched.update(name for name in names if source.named(name))
        for slot, providers in self._providers.items():
            if len({registration.maker.label for registration, _ in providers}) < 2:
                continue
            for name in names:
                chosen = [entry for entry in providers if entry[0].maker.named(name)]
                if chosen:
                    self._file(slot, *chosen[-1])
                    break
        return matched

    def _file(self, slot: Slot, registration: Registration, cls: Any) -> None:
        record = record_at(self.manager.plugins, slot)
        if record is None or record.get(CLS) is cls:  # taken away since, or already there
            return
        self.manager.register_plugin(cls, **registration.levels, chassis_type=slot[1])
        self.registrations[slot] = registration

    def conflicts(self) -> list[Conflict]:
        """The slots whose records came from more than one distribution, in tree order."""
        found = []
        tree = self.manager.plugins
        for path, chassis_type, record in walk_records(tree):
            providers = self._providers.get((path, chassis_type), [])
            if len({registration.maker.label for registration, _ in providers}) < 2:
                continue
            # Each class from each distribution once, where it last came in.
            latest: dict[tuple[int, str], tuple[int, object, str]] = {}
            for position, (registration, cls) in enumerate(providers):
                label = registration.maker.label
                latest[(id(cls), label)] = (position, cls, label)
            shown = tuple(
                Provider(cls, label)
                for _, cls, label in sorted(latest.values(), key=lambda entry: entry[0])
            )
            current = record.get(CLS)
            winner = next(
                (provider for provider in reversed(shown) if provider.cls is current), None
            )
            found.append(Conflict((path, chassis_type), providers[-1][0].levels, shown, winner))
        return found

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

    def levels(self, path: Path, chassis_type: Any, cls: object) -> dict[str, Any]:
        """The levels a record was registered for, or as its path reads."""
        try:
            known = self.registrations.get((path, chassis_type))
        except TypeError:
            known = None
        if known is not None and known.cls is cls:
            return known.levels
        return dict.fromkeys(LEVELS) | dict(zip(LEVELS, path, strict=False))

    def row(self, path: Path, chassis_type: Any, record: dict[Any, Any]) -> Row:
        cls = record.get(CLS)
        try:
            known = self.registrations.get((path, chassis_type))
        except TypeError:
            known = None
        replaces = list(known.replaces) if known is not None and known.cls is cls else []
        levels = self.levels(path, chassis_type, cls)
        return {
            "os": levels["os"],
            "platform": levels["platform"],
            "model": levels["model"],
            "os_flavor": levels["os_flavor"],
            "chassis_type": chassis_type,
            "class": class_name(cls),
            "file": record.get(PATH),
            "origin": self.origin(cls, record.get(PATH)),
            "replaces": replaces,
        }
