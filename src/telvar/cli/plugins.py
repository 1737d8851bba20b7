"""``plugins``: every entry point of the plugin group, and what became of it."""

from typing import TYPE_CHECKING, Any

from telvar.cli.loading import Context, diagnostics
from telvar.cli.output import EXIT_OK, aligned, emit, print_json

if TYPE_CHECKING:
    from telvar import inventory


def plugin_json(load: "inventory.PluginLoad") -> dict[str, Any]:
    source = load.source
    dist = source.dist is not None
    return {
        "name": load.name,
        "value": load.value,
        "distribution": source.name if dist else None,
        "version": source.label.rpartition(" ")[2] if dist else None,
        "status": load.status,
        "records": load.records,
        "seconds": round(load.seconds, 6),
    }


def show_plugins(context: Context) -> int:
    """One row per entry point: its distribution and version, loaded, failed or disabled,
    the records it kept and the time its load took."""
    found = [plugin_json(load) for load in context.loaded.plugins]
    if context.args.json:
        print_json({"plugins": found, "diagnostics": diagnostics(context.loaded)})
        return EXIT_OK
    if not found:
        emit("No plugin entry point is installed.")
        return EXIT_OK
    keys = ["name", "distribution", "version", "status", "records", "load time"]
    rows = [
        [
            plugin["name"],
            plugin["distribution"] or "-",
            plugin["version"] or "-",
            plugin["status"],
            str(plugin["records"]),
            "-" if plugin["status"] == "disabled" else f"{plugin['seconds'] * 1000:.1f} ms",
        ]
        for plugin in found
    ]
    for line in aligned([keys, *rows]):
        emit(line)
    return EXIT_OK
