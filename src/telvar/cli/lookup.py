"""``resolve`` and ``explain``: the class that serves a device, and the lookup step by step."""

from typing import TYPE_CHECKING, Any, NamedTuple

from telvar.cli.loading import (
    Context,
    Device,
    diagnostics,
    flag,
    record_json,
)
from telvar.cli.output import (
    ECHO_LIMIT,
    EXIT_NOT_FOUND,
    EXIT_OK,
    EXIT_USAGE,
    CommandError,
    clipped,
    did_you_mean,
    emit,
    err,
    named_list,
    print_json,
    quoted,
)
from telvar.plugins import supported_chassis
from telvar.registry import (
    CLS,
    DATA,
    DEFAULT_CHASSIS,
    DEVICE_FIELDS,
    PATH,
    class_name,
    node_name,
    validators,
)
from telvar.tracing import Trace, trace_lookup

if TYPE_CHECKING:
    from telvar import inventory
    from telvar.core.pluginmanager import PluginManager


def refused_option(manager: "PluginManager", lookup: Device) -> str:
    """The line naming the option the manager refused, in its validation order."""
    from telvar.core.errors import ConnectionInfraError

    for name, fields in validators(lookup["os"]):
        try:
            getattr(manager, "validate_" + name)(**{key: lookup[key] for key in fields})
        except ConnectionInfraError:
            line = f"refused: {flag(name)} {quoted(lookup[name])}"
            if name == "chassis_type":
                line += f"; choose from {', '.join(map(str, supported_chassis))}"
            return line
    return "refused input"


def manager_message(exc: BaseException, device: Device) -> str:
    """The manager's own message, with over-long values given by the user cut short."""
    text = str(exc).rstrip()
    for value in device.values():
        if isinstance(value, str) and len(value) > ECHO_LIMIT:
            text = text.replace(value, clipped(value))
    return text


def checked_device(manager: "PluginManager", device: Device) -> Device:
    """The lookup arguments, refused (exit code 2) when the manager would refuse them."""
    from telvar.core.errors import ConnectionInfraError

    lookup = dict(device)
    if lookup["chassis_type"] is None:
        lookup["chassis_type"] = DEFAULT_CHASSIS
    try:
        manager.validate_arguments(
            lookup["os"], lookup["platform"], lookup["model"], lookup["chassis_type"]
        )
    except ConnectionInfraError as exc:
        message = f"{manager_message(exc, lookup)}\ntelvar: {refused_option(manager, lookup)}"
        raise CommandError(message, EXIT_USAGE) from exc
    return lookup


def registered_hint(manager: "PluginManager", os_name: object) -> str:
    """The OSes that have plugins, and the one closest to ``os_name``."""
    names = sorted(str(key) for key in manager.plugins)
    return f"registered: {named_list(names)}{did_you_mean(os_name, names)}"


def explain_command(given: Device) -> str:
    """How to see the steps of a lookup: the explain command with the same device options."""
    if any(len(str(value)) > ECHO_LIMIT for value in given.values()):
        return "run telvar explain with the same options"
    import shlex

    words = ["telvar", "explain"]
    for name, value in given.items():
        words += [flag(name), shlex.quote(str(value))]
    return " ".join(words)


def stopped_hint(context: Context, lookup: Device) -> str:
    """Where a lookup that found nothing stopped, and what is registered there."""
    trace = trace_lookup(context.manager.plugins, **lookup)
    at = clipped(node_name(trace.node))
    if not trace.registered:
        there = f"{at}, where no chassis type is registered"
    else:
        names = ", ".join(clipped(str(name)) for name in trace.registered)
        verb = "is" if len(trace.registered) == 1 else "are"
        there = f"{at}, where only {names} {verb} registered"
    return f"the lookup stopped at {there}; to see each step: {explain_command(context.given)}"


def resolve(context: Context) -> int:
    from telvar.core.errors import ConnectionInfraError

    manager = context.manager
    lookup = checked_device(manager, context.device)
    try:
        cls = manager.get_plugin(**lookup)
    except ConnectionInfraError as exc:
        if lookup["os"] not in manager.plugins:
            hint = registered_hint(manager, lookup["os"])
            message = f"no plugin for os {quoted(lookup['os'])}; {hint}"
            raise CommandError(message, EXIT_NOT_FOUND) from exc
        message = f"{manager_message(exc, lookup)}\ntelvar: {stopped_hint(context, lookup)}"
        raise CommandError(message, EXIT_NOT_FOUND) from exc
    unmatched = unmatched_options(context, lookup)
    if unmatched and context.args.exact:
        lines = "\ntelvar: ".join(str(option) for option in unmatched)
        raise CommandError(f"{lines} (--exact)", EXIT_NOT_FOUND)
    import inspect

    path = inspect.getfile(cls)
    if context.args.json:
        found = record_json(cls, path, context.loaded)
        found["unmatched"] = [option._asdict() for option in unmatched]
        print_json(found | {"diagnostics": diagnostics(context.loaded)})
        return EXIT_OK
    if context.args.quiet < 2:
        for option in unmatched:
            err(f"telvar: warning: {option}")
    emit(class_name(cls))
    emit(f"  from {path}")
    return EXIT_OK


class Unmatched(NamedTuple):
    """A device option whose element the lookup skipped: it fell back past it."""

    option: str
    value: Any
    at: list[Any]  # the path of the node the lookup stayed at
    did_you_mean: str | None

    def __str__(self) -> str:
        hint = f"; did you mean {quoted(self.did_you_mean)}?" if self.did_you_mean else ""
        return (
            f"{self.option} {quoted(self.value)} matched nothing at "
            f"{clipped(node_name(tuple(self.at)))}: the lookup fell back past it{hint}"
        )


def unmatched_options(context: Context, lookup: Device) -> list[Unmatched]:
    """The device options after --os whose element the lookup did not walk into."""
    if all(lookup[name] is None for name in DEVICE_FIELDS[1:-1]):
        return []  # --os alone: a missing OS is reported as such
    found = []
    node: Any = context.manager.plugins
    for step in trace_lookup(context.manager.plugins, **lookup).steps:
        if step.matched:
            node = node[step.element]
        elif step.element is not None:
            names = [str(key) for key, child in node.items() if key != DATA and type(child) is dict]
            close = did_you_mean(step.element, names)
            found.append(
                Unmatched(
                    flag(step.level),
                    step.element,
                    list(step.node),
                    close.split("'")[1] if close else None,
                )
            )
    return found


def explain(context: Context) -> int:
    manager = context.manager
    lookup = checked_device(manager, context.device)
    trace = trace_lookup(manager.plugins, **lookup)
    if context.args.json:
        print_json(explain_json(trace, context.loaded))
        return EXIT_OK if trace.record is not None else EXIT_NOT_FOUND
    shown = [clipped(str(step.element)) for step in trace.steps]
    width = max(map(len, shown))
    for step, element in zip(trace.steps, shown, strict=True):
        if not step.matched:
            verdict = f"absent: falls back, stays at {clipped(node_name(step.node))}"
            if step.level == "os":
                verdict += f"; {registered_hint(manager, step.element)}"
        else:
            verdict = "matched"
        emit(f"{step.level:<9}  {element:<{width}}  {verdict}")
    emit(f"stopped at {clipped(node_name(trace.node))}")
    if trace.registered is None:
        where = "no records there"
    else:
        where = f"registered there: {', '.join(map(str, trace.registered)) or 'none'}"
    emit(f"chassis type {clipped(str(trace.chassis_type))} ({where})")
    if trace.record is None:
        emit("result: no plugin serves this device")
        return EXIT_NOT_FOUND
    emit(f"result: {class_name(trace.cls)}")
    emit(f"  from {trace.record.get(PATH)}")
    return EXIT_OK


def explain_json(trace: Trace, loaded: "inventory.Inventory") -> dict[str, Any]:
    record = trace.record
    return {
        "steps": [
            {
                "level": step.level,
                "element": step.element,
                "matched": step.matched,
                "node": list(step.node),
            }
            for step in trace.steps
        ],
        "stopped_at": list(trace.node),
        "chassis_type": trace.chassis_type,
        "registered": None if trace.registered is None else list(trace.registered),
        "result": None
        if record is None
        else record_json(record.get(CLS), record.get(PATH), loaded),
        "diagnostics": diagnostics(loaded),
    }
