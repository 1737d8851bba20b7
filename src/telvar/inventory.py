"""What the ``telvar`` command knows about the registry besides the tree itself.

- Loading: every entry point of the plugin group is loaded on its own, so a
  plugin that fails is reported and the others still load
  (``PluginManager.discover_external_plugins`` stops at the first failure).
- Origins: which distribution advertised the module a class comes from.
- Records: one row per registered class, with the levels it was registered for.
- Lookups: the steps ``get_plugin`` takes through a tree, for ``telvar explain``.
"""

import contextlib
from dataclasses import dataclass
from importlib import metadata

import telvar.plugins
from telvar import log
from telvar.core import pluginmanager

BUILTIN = "built-in"
UNKNOWN = "unknown"
DEFAULT_CHASSIS = "single_rp"
LEVELS = ("os", "platform", "model", "os_flavor")
ROW_KEYS = LEVELS + ("chassis_type", "class", "file", "origin")


def describe_exception(exc):
    """``Type: message``, or the type alone when the message is empty."""
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def distribution_label(dist):
    """``<name> <version>`` of the distribution that advertised an entry point."""
    if dist is None:
        return UNKNOWN
    return f"{dist.name} {dist.version}"


@dataclass(frozen=True)
class LoadFailure:
    """An entry point whose load raised."""

    name: str
    value: str
    origin: str
    error: Exception

    def __str__(self):
        source = "" if self.origin == UNKNOWN else f" from {self.origin}"
        return (
            f"plugin {self.name!r} ({self.value}){source} failed to load: "
            f"{describe_exception(self.error)}"
        )


def load_external_plugins(on_failure):
    """Load each entry point of the plugin group; pass every failure to ``on_failure``.

    Returns ``{module name: origin}`` for all the entry points, loaded or not.
    """
    sources = {}
    for entry_point in metadata.entry_points(group=pluginmanager.ENTRYPOINT_GROUP):
        origin = distribution_label(entry_point.dist)
        sources[entry_point.module] = origin
        log.debug("Loading external plugin %s from %s", entry_point.name, entry_point.module)
        try:
            entry_point.load()
        except Exception as exc:
            log.debug("Plugin %s failed to load", entry_point.name, exc_info=True)
            on_failure(LoadFailure(entry_point.name, entry_point.value, origin, exc))
    return sources


def origin_of(module_name, sources):
    """``built-in``, the origin of the entry-point module that holds the class, or ``unknown``."""
    builtin = telvar.plugins.__name__
    if module_name == builtin or module_name.startswith(builtin + "."):
        return BUILTIN
    for source in sorted(sources, key=len, reverse=True):
        if module_name == source or module_name.startswith(source + "."):
            return sources[source]
    return UNKNOWN


def lookup_path(os, platform=None, model=None, os_flavor=None):
    """The path the manager files a device under: pairs of (level, element)."""
    path = [("os", os)]
    if model is not None:
        path += [("platform", platform), ("model", model)]
    elif platform is not None:
        path.append(("platform", platform))
    if os_flavor is not None:
        path.append(("os_flavor", os_flavor))
    return path


@contextlib.contextmanager
def recording_registrations(manager, registrations):
    """Note the levels each ``register_plugin`` call names while the block runs.

    The tree alone cannot tell them apart: a platform and an OS flavour are
    both the second element of a path. ``registrations`` maps
    ``(path, chassis_type)`` to ``(cls, {level: value})``.
    """
    register = manager.register_plugin
    own = vars(manager)
    previous = own.get("register_plugin")

    def register_plugin(
        cls, os=None, platform=None, model=None, os_flavor=None, chassis_type=DEFAULT_CHASSIS
    ):
        register(cls, os, platform, model, os_flavor, chassis_type)
        levels = dict(os=os, platform=platform, model=model, os_flavor=os_flavor)
        path = tuple(element for _, element in lookup_path(**levels))
        with contextlib.suppress(TypeError):  # unhashable: the row reads the path instead
            registrations[(path, chassis_type)] = (cls, levels)

    manager.register_plugin = register_plugin
    try:
        yield registrations
    finally:
        if previous is None:
            del manager.register_plugin
        else:
            manager.register_plugin = previous


def class_name(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def records(tree, registrations, sources):
    """One dict per registered record (keys ``ROW_KEYS``), parents before children.

    A record registered while ``recording_registrations`` watched gets the
    levels it was registered for; any other is read as os/platform/model/os_flavor
    by the depth of its path.
    """
    rows = []

    def visit(node, path):
        data = node.get("data")
        if isinstance(data, dict):
            for chassis_type in sorted(data, key=str):
                rows.append(row(path, chassis_type, data[chassis_type]))
        for key in sorted(node, key=str):
            if key != "data" and isinstance(node[key], dict):
                visit(node[key], path + (key,))

    def row(path, chassis_type, record):
        cls = record.get("cls")
        try:
            known_cls, levels = registrations.get((path, chassis_type), (None, None))
        except TypeError:
            known_cls = levels = None
        if levels is None or known_cls is not cls:
            levels = dict.fromkeys(LEVELS) | dict(zip(LEVELS, path, strict=False))
        module = getattr(cls, "__module__", "")
        return levels | {
            "chassis_type": chassis_type,
            "class": class_name(cls),
            "file": record.get("path"),
            "origin": origin_of(module, sources),
        }

    visit(tree, ())
    return rows


@dataclass(frozen=True)
class Step:
    level: str
    element: object
    matched: bool
    node: tuple  # the path of the node the walk is at after this step


@dataclass(frozen=True)
class Trace:
    steps: tuple
    chassis_type: object
    registered: tuple | None  # chassis types of the final node's data map; None without one
    record: dict | None

    @property
    def node(self):
        return self.steps[-1].node

    @property
    def cls(self):
        return None if self.record is None else self.record["cls"]


def trace_lookup(tree, os, platform=None, model=None, os_flavor=None, chassis_type=DEFAULT_CHASSIS):
    """The walk ``get_plugin`` makes through ``tree``, step by step, after validation.

    A path element that is a key of the current node is descended into; any
    other is skipped, and the walk stays where it is. The reserved key "data"
    is never a child: a lookup that names it falls back as for an absent
    element. At the end the node's data map decides.
    """
    node, at, steps = tree, (), []
    for level, element in lookup_path(os, platform, model, os_flavor):
        matched = element != "data" and element in node.keys()
        if matched:
            node, at = node[element], at + (element,)
        steps.append(Step(level, element, matched, at))
    data = node.get("data")
    record = data[chassis_type] if data is not None and chassis_type in data else None
    registered = None if data is None else tuple(data)
    return Trace(tuple(steps), chassis_type, registered, record)
