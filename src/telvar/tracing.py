"""The steps ``get_plugin`` takes through a registry tree, for ``telvar explain`` and ``resolve``."""

from dataclasses import dataclass
from typing import Any

from telvar.registry import CLS, DATA, DEFAULT_CHASSIS, Path, lookup_path


@dataclass(frozen=True)
class Step:
    """One level of a lookup: its element, whether the walk went down, where it is."""

    level: str
    element: Any
    matched: bool
    node: Path  # the path of the node the walk is at after this step


@dataclass(frozen=True)
class Trace:
    """A whole lookup: its steps, the chassis type asked, what the last node holds."""

    steps: tuple[Step, ...]
    chassis_type: Any
    registered: tuple[Any, ...] | None  # chassis types of the final node's data map, or None
    record: dict[Any, Any] | None

    @property
    def node(self) -> Path:
        return self.steps[-1].node

    @property
    def cls(self) -> Any:
        return None if self.record is None else self.record[CLS]


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
    element. At the end the node's data map decides: a chassis type it lacks
    is not found, whatever other types it holds.
    """
    node: Any = tree
    at: Path = ()
    steps: list[Step] = []
    for level, element in lookup_path(os, platform, model, os_flavor):
        matched = element != DATA and element in node.keys()
        if matched:
            node, at = node[element], at + (element,)
        steps.append(Step(level, element, matched, at))
    data = node.get(DATA)
    record = data[chassis_type] if data is not None and chassis_type in data else None
    registered = None if data is None else tuple(data)
    return Trace(tuple(steps), chassis_type, registered, record)
