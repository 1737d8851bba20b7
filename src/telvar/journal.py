"""What loading plugins changes in a manager's registry, and taking back what a failed plugin did.

While plugins load, ``watch`` puts journalling versions of ``register_plugin``
and ``unregister_plugin`` on the manager's class itself, so every route of a
call is seen: through the instance, through the class
(``type(manager).register_plugin(manager, ...)``), or through a reference kept
from an earlier plugin. Each change is filed with the module whose import made
it: the innermost module-level code on the stack.

A failed load takes back the changes made by modules that did not finish
importing (the failed plugin's own, and any other whose import failed with
it); a module that was imported for the first time along the way, and stayed
imported, keeps its registrations. The journal saves every dict along a
changed path, and the root, before the load first changes it; taking back
restores those dicts and replays the changes that are kept. Edits made to the
tree's dicts directly, without a call, are taken back too where they touch the
root or a saved dict.
"""

import contextlib
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import Any, NamedTuple

from telvar import log
from telvar.origins import Source
from telvar.registry import DATA, DEFAULT_CHASSIS, Slot, class_name, node_name, record_at, slot_of

METHODS = ("register_plugin", "unregister_plugin")
FRAMES_LIMIT = 200  # stack frames searched for the module that made a call


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
    maker: Source  # that of the plugin whose module made the call
    replaces: list[str] = field(default_factory=list)


class Call(NamedTuple):
    """A ``register_plugin`` or ``unregister_plugin`` call that returned."""

    registering: bool
    slot: Slot  # for an unregistration without a chassis type: (path, None), the data map
    previous: dict[Any, Any] | None  # the record at the slot before the call
    after: dict[Any, Any] | None  # and after it
    cls: Any
    levels: dict[str, Any]
    module: str | None  # the module whose import made the call


class Change:
    """One call that changed the registry, and its bookkeeping (a registration's)."""

    __slots__ = ("call", "registration", "replacement")

    def __init__(self, call: Call) -> None:
        self.call = call
        self.registration: Registration | None = None
        self.replacement: Replacement | None = None

    @property
    def slot(self) -> Slot:
        return self.call.slot


class Journal:
    """The changes one plugin's load made, and the state they changed, saved before."""

    def __init__(self, tree: dict[Any, Any]) -> None:
        self.tree = tree
        self.saved: dict[int, tuple[dict[Any, Any], list[tuple[Any, Any]]]] = {}
        self.booked: dict[Slot, Registration | None] = {}
        self.changes: list[Change] = []
        # The failed plugin's own module: its changes are taken back even though it
        # stayed imported (an entry point whose attribute is missing, say).
        self.culprit: str | None = None
        self.keep(tree)

    def keep(self, node: dict[Any, Any]) -> None:
        if id(node) not in self.saved:
            self.saved[id(node)] = (node, list(node.items()))

    def save(self, slot: Slot) -> None:
        """Save the dicts along the slot's path, before a call changes them."""
        node: Any = self.tree
        with contextlib.suppress(Exception):  # an unhashable element: the manager refuses it
            for element in slot[0]:
                node = node.get(element)
                if not isinstance(node, dict):
                    return
                self.keep(node)
            data = node.get(DATA)
            if isinstance(data, dict):
                self.keep(data)

    def book(self, slot: Slot, registrations: dict[Slot, Registration]) -> None:
        """Save the bookkeeping of a slot before its first change."""
        if slot not in self.booked:
            self.booked[slot] = registrations.get(slot)

    def failed(self, change: Change, load_failed: bool) -> bool:
        """Whether a change is taken back: its module did not finish importing, or no
        module made it (a call from another thread, say) and the load failed."""
        module = change.call.module
        if module is None:
            return load_failed
        culprit = self.culprit
        if load_failed and culprit and (module == culprit or module.startswith(culprit + ".")):
            return True
        return module not in sys.modules

    def direct_edits(self) -> int:
        """Top-level entries changed without a journalled call."""
        try:
            called = {change.slot[0][0] for change in self.changes if change.slot[0]}
            before = dict(self.saved[id(self.tree)][1])
            keys = set(before) ^ set(self.tree)
            keys |= {
                key for key in before if key in self.tree and self.tree[key] is not before[key]
            }
        except Exception:  # keys that fail to compare: the root is restored all the same
            return 0
        return len(keys - called)

    def undo(self, registrations: dict[Slot, Registration], load_failed: bool) -> list[Change]:
        """Take back the failed modules' changes; returns them. The others are replayed."""
        undone = [change for change in self.changes if self.failed(change, load_failed)]
        for node, items in self.saved.values():
            node.clear()
            node.update(items)
        for slot, before in self.booked.items():
            if before is None:
                registrations.pop(slot, None)
            else:
                registrations[slot] = before
        for change in self.kept(load_failed):
            replay(self.tree, change)
            if change.registration is not None:
                registrations[change.slot] = change.registration
        return undone

    def kept(self, load_failed: bool) -> list[Change]:
        return [change for change in self.changes if not self.failed(change, load_failed)]


def replay(tree: dict[Any, Any], change: Change) -> None:
    """Make a change again: file its record, making the nodes it needs, or remove."""
    call = change.call
    path, chassis_type = call.slot
    node = tree
    for element in path:
        child = node.get(element)
        if not isinstance(child, dict):
            if not call.registering:
                return
            child = node[element] = {}
        node = child
    data = node.get(DATA)
    if not call.registering:
        if chassis_type is None:
            node.pop(DATA, None)
        elif isinstance(data, dict):
            data.pop(chassis_type, None)
        return
    if not isinstance(data, dict):
        data = node[DATA] = {}
    if call.after is not None:
        data[chassis_type] = call.after


def calling_module() -> str | None:
    """The module being imported whose top-level code runs innermost on the caller's stack.

    Top-level code run by ``exec`` under a name that no module is imported
    under counts as its importer's.
    """
    frame: FrameType | None = sys._getframe(2)
    for _ in range(FRAMES_LIMIT):
        if frame is None:
            return None
        if frame.f_code.co_name == "<module>":
            name = frame.f_globals.get("__name__")
            if isinstance(name, str) and name in sys.modules:
                return name
        frame = frame.f_back
    return None


def _register_arguments(
    cls: Any,
    os: Any = None,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = DEFAULT_CHASSIS,
) -> tuple[Any, dict[str, Any], Any]:
    return cls, dict(os=os, platform=platform, model=model, os_flavor=os_flavor), chassis_type


def _unregister_arguments(
    os: Any = None,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = None,
) -> tuple[None, dict[str, Any], Any]:
    return None, dict(os=os, platform=platform, model=model, os_flavor=os_flavor), chassis_type


@contextlib.contextmanager
def watch(
    manager: Any, before: Callable[[Slot], None], after: Callable[[Call], None]
) -> Iterator[None]:
    """Journalling ``register_plugin`` and ``unregister_plugin`` on ``manager``'s classes.

    Calls on other managers pass through untouched; so does a call whose
    arguments do not bind (the method itself refuses it).
    """
    patched = []
    for klass in type(manager).__mro__:
        for name in METHODS:
            if name in vars(klass):
                original = vars(klass)[name]
                try:
                    setattr(klass, name, _journalled(manager, name, original, before, after))
                except (TypeError, AttributeError):  # a class that cannot be changed
                    continue
                patched.append((klass, name, original))
    try:
        yield
    finally:
        for klass, name, original in reversed(patched):
            setattr(klass, name, original)


def _quietly(step: Callable[[Any], None], value: Any) -> bool:
    """Run a step of the journal; whatever a plugin's values make it raise stays out of
    the plugin's call (the change then goes unjournalled). Returns whether it ran."""
    try:
        step(value)
    except Exception:
        log.debug("The journal could not follow a registry call", exc_info=True)
        return False
    return True


def _journalled(
    manager: Any,
    name: str,
    original: Any,
    before: Callable[[Slot], None],
    after: Callable[[Call], None],
) -> Callable[..., Any]:
    registering = name == "register_plugin"
    bind = _register_arguments if registering else _unregister_arguments

    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        if self is not manager:
            return original(self, *args, **kwargs)
        try:
            cls, levels, chassis_type = bind(*args, **kwargs)
            slot = slot_of(**levels, chassis_type=chassis_type)
            hash(slot)
        except Exception:  # arguments the method itself refuses, as it will say
            return original(self, *args, **kwargs)
        tree = manager.plugins
        journalled = _quietly(before, slot)
        previous = record_at(tree, slot) if registering else None
        result = original(self, *args, **kwargs)
        if journalled:
            record = record_at(tree, slot) if registering else None
            _quietly(
                after, Call(registering, slot, previous, record, cls, levels, calling_module())
            )
        return result

    method.__name__ = method.__qualname__ = name
    method.__doc__ = getattr(original, "__doc__", None)
    return method
