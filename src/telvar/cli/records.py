"""``tree`` and ``list``: the registered records, as a tree, a table or JSON."""

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from telvar.cli.loading import (
    Context,
    Device,
    diagnostics,
    preferred,
    record_json,
)
from telvar.cli.output import (
    EXIT_NOT_FOUND,
    EXIT_OK,
    aligned,
    emit,
    err,
    print_json,
    row_cells,
)
from telvar.registry import (
    CLS,
    DATA,
    DEVICE_FIELDS,
    PATH,
    class_name,
    node_name,
    walk_records,
)

if TYPE_CHECKING:
    from telvar import inventory


LOAD_ORDER_RULE = (
    "The plugin loaded last wins: telvar's own plugins load first, then the entry points "
    "in the order of sys.path and, within one folder, of the distributions' names; "
    "--prefer DIST (or TELVAR_PREFER=DIST,...) makes DIST's record win"
)


NO_MATCH = "no registered record matches these device options"


def matches(row: Mapping[str, object], given: Device) -> bool:
    """Whether a record's row has every level the device options give."""
    return all(str(row[name]) == value for name, value in given.items())


def selected(context: Context) -> dict[Any, Any]:
    """The registry tree, or a copy that holds only the records the device options select."""
    tree = context.manager.plugins
    if not context.given:
        return tree
    kept: dict[Any, Any] = {}
    for path, chassis_type, record in walk_records(tree):
        if matches(context.loaded.row(path, chassis_type, record), context.given):
            node = kept
            for element in path:
                node = node.setdefault(element, {})
            node.setdefault(DATA, {})[chassis_type] = record
    return kept


def tree_json(node: dict[Any, Any], loaded: "inventory.Inventory") -> dict[str, Any]:
    """A node as nested objects; a data map holds each record's class, module, file, origin."""
    out: dict[str, Any] = {}
    for key in sorted(node, key=str):
        value = node[key]
        if key == DATA and isinstance(value, dict):
            out[DATA] = {
                str(chassis_type): record_json(record.get(CLS), record.get(PATH), loaded)
                for chassis_type, record in sorted(value.items(), key=lambda item: str(item[0]))
                if isinstance(record, dict)
            }
        elif isinstance(value, dict):
            out[str(key)] = tree_json(value, loaded)
    return out


def print_shaped(key: str, value: object, context: Context) -> None:
    """A command's JSON: its result under ``key``, and what loading the plugins met."""
    print_json({key: value, "diagnostics": diagnostics(context.loaded)})


def no_match(empty_json: object, as_json: bool) -> int:
    """Device options that select no record: said on stderr, exit code 1."""
    if as_json:
        print_json(empty_json)
    err(f"telvar: {NO_MATCH}")
    return EXIT_NOT_FOUND


def show_tree(context: Context) -> int:
    manager = context.manager
    tree = selected(context)
    if context.given and not tree:
        return no_match({"tree": {}, "diagnostics": diagnostics(context.loaded)}, context.args.json)
    if context.args.json:
        print_shaped("tree", tree_json(tree, context.loaded), context)
    elif not tree:
        emit("No connection plugins are registered.")
    else:
        # The heading of repr(manager), without the address, so that two runs compare.
        heading = f"plugins ({type(manager)!r})"
        try:
            emit(manager.print_tree(data=tree, output=heading))
        except TypeError:  # keys that do not sort together (a plugin's os=5): shown as text
            emit(manager.print_tree(data=text_keys(tree, {}), output=heading))
    return EXIT_OK


def text_keys(node: dict[Any, Any], done: dict[int, dict[str, Any]]) -> dict[str, Any]:
    """A copy of a tree whose keys are all text, sharing and cycles kept."""
    if id(node) in done:
        return done[id(node)]
    copy: dict[str, Any] = {}
    done[id(node)] = copy
    for key, value in node.items():
        copy[key if isinstance(key, str) else repr(key)] = (
            text_keys(value, done) if isinstance(value, dict) else value
        )
    return copy


def show_list(context: Context) -> int:
    if context.args.conflicts:
        return show_conflicts(context)
    rows = [row for row in context.loaded.records() if matches(row, context.given)]
    if context.given and not rows:
        return no_match(
            {"records": [], "diagnostics": diagnostics(context.loaded)}, context.args.json
        )
    if context.args.json:
        print_shaped("records", rows, context)
    elif not rows:
        emit("No connection plugins are registered.")
    else:
        emit(format_table(rows))
    return EXIT_OK


REPLACED_MARK = " *"


def format_table(rows: Sequence["inventory.Row"]) -> str:
    from telvar.inventory import ROW_KEYS

    # The file, the longest column, goes last; a class whose record replaced others is marked.
    keys = [key for key in ROW_KEYS if key not in ("file", "replaces")] + ["file"]
    cells = [keys] + [row_cells(row, keys) for row in rows]
    marked = [bool(row["replaces"]) for row in rows]
    at = keys.index("class")
    for line, mark in zip(cells[1:], marked, strict=True):
        line[at] += REPLACED_MARK * mark
    lines = aligned(cells)
    if any(marked):
        lines.append(
            f"{REPLACED_MARK.strip()} replaced another class's record (list --json names it)"
        )
    return "\n".join(lines)


def show_conflicts(context: Context) -> int:
    """The records more than one distribution provides, each provider, and the winner."""
    found = [
        conflict
        for conflict in context.loaded.conflicts()
        if matches(conflict.levels | {"chassis_type": conflict.slot[1]}, context.given)
    ]
    if context.args.json:
        shaped = [conflict_json(conflict, chosen(conflict, context)) for conflict in found]
        print_shaped("conflicts", shaped, context)
        return EXIT_OK
    if not found:
        emit("No record is provided by more than one distribution.")
        return EXIT_OK
    for conflict in found:
        path, chassis_type = conflict.slot
        emit(f"{node_name(path)} ({chassis_type}):")
        cells = [
            [
                f"  {provider.origin}",
                class_name(provider.cls),
                ("wins (--prefer)" if chosen(conflict, context) else "wins")
                if provider is conflict.winner
                else "",
            ]
            for provider in conflict.providers
        ]
        for line in aligned(cells):
            emit(line)
        if conflict.winner is None:
            emit("  (none of them wins: another record is filed there now)")
    emit(f"{LOAD_ORDER_RULE}.")
    return EXIT_OK


def chosen(conflict: "inventory.Conflict", context: Context) -> bool:
    """Whether the winner of a conflict is there because --prefer (or TELVAR_PREFER) chose it."""
    from telvar.origins import label_named

    winner = conflict.winner
    names = preferred(context.args)
    return winner is not None and any(label_named(winner.origin, name) for name in names)


def conflict_json(conflict: "inventory.Conflict", preferred: bool = False) -> dict[str, Any]:
    def provider(found: "inventory.Provider | None") -> dict[str, Any] | None:
        return None if found is None else {"class": class_name(found.cls), "origin": found.origin}

    return {
        **{level: conflict.levels.get(level) for level in DEVICE_FIELDS[:-1]},
        "chassis_type": conflict.slot[1],
        "providers": [provider(found) for found in conflict.providers],
        "winner": provider(conflict.winner),
        "preferred": preferred,  # the winner is the one --prefer chose
    }
