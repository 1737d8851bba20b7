"""The steps ``get_plugin`` takes through a registry tree, for ``telvar explain`` and ``resolve``.

The walk is not rewritten here: it is watched. A stand-in of the tree keeps
every node's children, under the same keys and with the same sharing, but gives
each node a data map of its own whose record is a marker of that node. The
plugin manager's own ``get_plugin``, asked for each prefix of the lookup path
in that stand-in, answers with the marker of the node its walk ended at.
"""

from dataclasses import dataclass
from typing import Any

from telvar.registry import CLS, DATA, DEFAULT_CHASSIS, PATH, Path, lookup_path


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


class _Marker:
    """The class a stand-in node's record holds: which node of the real tree it stands for."""

    __slots__ = ("node",)

    def __init__(self, node: dict[Any, Any]) -> None:
        self.node = node


def _stand_in(tree: dict[Any, Any], chassis_type: Any, depth: int) -> dict[Any, Any]:
    """The tree as deep as a walk can go, each node with a marker record for the chassis type."""
    made: dict[int, dict[Any, Any]] = {}

    def node(real: dict[Any, Any], left: int) -> dict[Any, Any]:
        if id(real) in made:
            return made[id(real)]
        data = real.get(DATA)
        marked = {chassis_type: {CLS: _Marker(real), PATH: ""}}
        copy: dict[Any, Any] = {}
        made[id(real)] = copy
        for key, value in real.items():
            if value is data and isinstance(data, dict):
                copy[key] = marked
            elif isinstance(value, dict) and left > 0:
                copy[key] = node(value, left - 1)
            else:
                copy[key] = value
        copy[DATA] = marked
        return copy

    return node(tree, depth)


def trace_lookup(
    tree: Any,
    os: Any,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = DEFAULT_CHASSIS,
) -> Trace:
    """The walk ``get_plugin`` makes through ``tree`` (a manager's registry, or the manager
    itself), step by step, for arguments that pass validation."""
    from telvar.core.errors import ConnectionInfraError
    from telvar.core.pluginmanager import PluginManager

    if isinstance(tree, PluginManager):
        tree = tree.plugins
    pairs = lookup_path(os, platform, model, os_flavor)
    probe = PluginManager()
    probe._plugins = _stand_in(tree, chassis_type, len(pairs))
    steps: list[Step] = []
    at: Path = ()
    node: Any = tree
    arguments: dict[str, Any] = {"chassis_type": chassis_type}
    for level, element in pairs:
        arguments[level] = element
        marker = probe.get_plugin(**arguments)
        matched = isinstance(marker, _Marker) and marker.node is not node
        if matched:
            node, at = marker.node, at + (element,)
        steps.append(Step(level, element, matched, at))
    probe._plugins = tree  # the real walk decides the record
    try:
        cls = probe.get_plugin(os, platform, model, os_flavor, chassis_type)
    except ConnectionInfraError:
        cls = None
    data = node.get(DATA)
    registered = tuple(data) if isinstance(data, dict) else None
    record = None
    if cls is not None:
        found = data.get(chassis_type) if isinstance(data, dict) else None
        record = found if isinstance(found, dict) and found.get(CLS) is cls else {CLS: cls}
    return Trace(tuple(steps), chassis_type, registered, record)
