"""The registry's rules as the plugin manager applies them, for telvar's Python side.

The manager keeps its registry as nested dicts: one node per path element, and
at any node the reserved key ``data``, a map from chassis type to a record
``{"cls": class, "path": file}``. The command and the loader read and repair
that tree; they take its rules from here, and only from here.
"""

from collections.abc import Iterator
from typing import Any

DATA = "data"  # the reserved key of a node: its data map
CLS = "cls"  # a record's class
PATH = "path"  # a record's source file
DEFAULT_CHASSIS = "single_rp"
# The OS whose chassis type is never validated.
ANY_CHASSIS_OS = "linux"
LEVELS = ("os", "platform", "model", "os_flavor")
DEVICE_FIELDS = LEVELS + ("chassis_type",)
# The validators validate_arguments calls, in its order, and the fields each one takes.
VALIDATORS: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("model", ("os", "platform", "model")),
    ("platform", ("os", "platform")),
    ("os", ("os",)),
    ("chassis_type", ("chassis_type",)),
)

Path = tuple[Any, ...]
# A record's place in the tree: the path of its node and its chassis type.
Slot = tuple[Path, Any]


def lookup_path(
    os: Any, platform: Any = None, model: Any = None, os_flavor: Any = None
) -> list[tuple[str, Any]]:
    """The path the manager files a device under: pairs of (level, element).

    A model needs its platform (given or not: then None); an OS flavour comes last.
    """
    path = slot_of(os, platform, model, os_flavor)[0]
    levels = ("os", "platform", "model")[: len(path) - (os_flavor is not None)]
    return list(zip(levels + ("os_flavor",) * (os_flavor is not None), path, strict=True))


def slot_of(
    os: Any,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = DEFAULT_CHASSIS,
) -> Slot:
    """The slot that a registration (or unregistration) with these arguments changes:
    the registry's one path rule. The loader asks it for every call."""
    if model is not None:
        path: Path = (os, platform, model)
    elif platform is not None:
        path = (os, platform)
    else:
        path = (os,)
    if os_flavor is not None:
        path += (os_flavor,)
    return path, chassis_type


def validators(os: Any) -> tuple[tuple[str, tuple[str, ...]], ...]:
    """The validators ``validate_arguments`` runs for a device of ``os``, in order."""
    if os == ANY_CHASSIS_OS:
        return tuple(entry for entry in VALIDATORS if entry[0] != "chassis_type")
    return VALIDATORS


def record_at(tree: Any, slot: Slot) -> dict[Any, Any] | None:
    """The record filed at ``slot``, or None; never raises for a tree of dicts."""
    node = tree
    try:
        for element in slot[0]:
            node = node.get(element)
            if not isinstance(node, dict):
                return None
        data = node.get(DATA)
        record = data.get(slot[1]) if isinstance(data, dict) else None
    except Exception:  # an unhashable element: the manager refuses it
        return None
    return record if isinstance(record, dict) else None


def walk_records(tree: dict[Any, Any]) -> Iterator[tuple[Path, Any, dict[Any, Any]]]:
    """``(path, chassis_type, record)`` for every record, parents before children."""

    def visit(node: dict[Any, Any], path: Path) -> Iterator[tuple[Path, Any, dict[Any, Any]]]:
        data = node.get(DATA)
        if isinstance(data, dict):
            for chassis_type in sorted(data, key=str):
                if isinstance(data[chassis_type], dict):
                    yield path, chassis_type, data[chassis_type]
        for key in sorted(node, key=str):
            if key != DATA and isinstance(node[key], dict):
                yield from visit(node[key], path + (key,))

    return visit(tree, ())


def class_name(cls: object) -> str:
    """The dotted name of a class: its module and qualified name."""
    module = getattr(cls, "__module__", None)
    qualname = getattr(cls, "__qualname__", None) or repr(cls)
    return f"{module}.{qualname}" if module else str(qualname)


def node_name(path: Path) -> str:
    return "/".join(map(str, path)) or "the root"
