"""Retained sizes on the command line: computing them after an import, `top --by retained`,
`tree`, `why`, `retained`, and the retained column of `types`.

The retained size of an object is what would be freed if that object alone went away: the
objects it dominates in the heap's dominator tree.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, TextIO

from vesker.formatting import (
    format_bytes,
    format_table,
    format_value,
    precision_note,
    terminal_width,
    value_cell,
)
from vesker.phase_times import PhaseTimes
from vesker.labels import object_labels
from vesker.sites import allocation_text
from vesker.progress import Phase
from vesker.store import ALL_TYPES, UserError, is_store
from vesker.store_facts import read_facts
from vesker.store_health import storage_failure

if TYPE_CHECKING:
    from vesker.engine import RetainedRow, Store, TreeRow

MODULE_TYPE = "builtins.module"
_NAMES_KEY = b'"names"'


def open_engine(path: str) -> Store:
    """The analyses' view of an existing store."""
    if not os.path.isdir(path) or not is_store(path):
        raise UserError(f"{path!r} is not a store (create it with 'vesker import')")
    from vesker import engine

    try:
        return engine.Store(path)
    except RuntimeError as error:
        raise UserError(f"cannot open store {path!r}: {error}") from None


class ReferenceNames:
    """Collects the optional "names" of dump lines while the lines go by to the import."""

    def __init__(self) -> None:
        self.pairs: list[tuple[int, list[str | None]]] = []

    def watch(self, lines: Iterator[bytes]) -> Iterator[bytes]:
        for line in lines:
            # Only the few lines that carry names are parsed twice.
            if _NAMES_KEY in line:
                record = json.loads(line)
                names = record.get("names")
                if isinstance(names, list) and isinstance(record.get("id"), int):
                    self.pairs.append((record["id"], [n if isinstance(n, str) else None for n in names]))
            yield line


def store_names(store_path: str, names: ReferenceNames) -> None:
    if not names.pairs:
        return
    store = open_engine(store_path)
    try:
        store.import_names(names.pairs)
    finally:
        store.close()


def compute_retained(
    store_path: str, names: ReferenceNames | None, stream: TextIO, live: bool,
    times: PhaseTimes | None = None,
) -> None:
    times = times or PhaseTimes()
    store = open_engine(store_path)
    try:
        if names is not None and names.pairs:
            with times.timed("names"):
                store.import_names(names.pairs)
        phase = Phase("computing retained sizes", stream, live)
        phase.start()
        try:
            with times.timed("retained sizes"):
                run = store.compute_retained(progress=phase.update)
        except RuntimeError as error:
            raise UserError(f"computing retained sizes in {store_path!r} failed: {error}") from None
        except OSError as error:
            raise UserError(f"computing retained sizes in {store_path!r} failed: {storage_failure(error)}; "
                            "the store keeps its objects without retained sizes") from None
        finally:
            phase.stop(failed=sys.exc_info()[0] is not None)
        times.add("retained sizes/reading the graph", run["read_seconds"])
        times.add("retained sizes/dominators and retained sizes", run["dominator_seconds"])
        times.add("retained sizes/writing", run["write_seconds"])
        if run["unreachable"]:
            stream.write(
                f"{run['unreachable']:,} objects are unreachable: cycles that nothing refers to\n"
            )
    finally:
        store.close()


def _fresh(store: Store) -> bool:
    return store.retained_state() == "fresh"


def _require_fresh(store: Store, path: str) -> None:
    state = store.retained_state()
    if state == "fresh":
        return
    why = "has no retained sizes" if state == "missing" else "changed since its retained sizes were computed"
    raise UserError(f"store {path!r} {why}; compute them with 'vesker retained {path}'")


def type_retained(store_path: str) -> dict[str, int] | None:
    """Retained size counted once per type, or None when the store has no fresh ones."""
    store = open_engine(store_path)
    try:
        return store.type_retained() if _fresh(store) else None
    finally:
        store.close()


def _label(row: RetainedRow | TreeRow) -> str:
    """A short name for an object in a chain: a module's name, otherwise its type's last part."""
    if row["type"] == MODULE_TYPE and row["value"]:
        return row["value"]
    return row["type"].rsplit(".", 1)[-1]


def reference_chain(rows: list[RetainedRow]) -> str:
    """`__main__.cache -> dict['k'] -> Order.items -> list[3]`: each referrer with the name of its
    reference to the next object; the last object is named when the last reference is not."""
    if not rows:
        return ""
    parts = []
    for row, following in zip(rows, rows[1:]):
        parts.append(_label(row) + (following["name"] or ""))
    if len(rows) == 1 or not rows[-1]["name"]:
        parts.append(_label(rows[-1]))
    return " -> ".join(parts)


_ROW_HEADERS = ("ID", "TYPE", "SIZE", "RETAINED", "VALUE")
_ROW_RIGHT = {0, 2, 3}


def _row_cells(row: RetainedRow, width: int | None, labels: dict[int, str]) -> list[str]:
    value = value_cell(row["value"], labels.get(row["id"]), width)
    if row["unreachable"]:
        value = ("(unreachable) " + value).rstrip()
    return [str(row["id"]), row["type"], format_bytes(row["size"]), format_bytes(row["retained"]), value]


def _rows_table(rows: list[RetainedRow], labels: dict[int, str]) -> str:
    width = terminal_width()
    return format_table(_ROW_HEADERS, [_row_cells(r, width, labels) for r in rows], _ROW_RIGHT, width)


def _row_json(row: RetainedRow, labels: dict[int, str] | None = None) -> dict[str, Any]:
    shown = {key: row[key] for key in ("id", "type", "value", "size", "retained", "unreachable")}
    if labels is not None:
        shown["label"] = labels.get(row["id"])
    return shown


def _emit_json(data: object) -> None:
    json.dump(data, sys.stdout, indent=2)
    sys.stdout.write("\n")


# -- top --by retained --------------------------------------------------------------------


def top_by_retained(args: argparse.Namespace, total: int) -> int | None:
    """`top` ordered by retained size; None when that is only the default and there are none."""
    store = open_engine(args.store)
    try:
        if args.by is None and not _fresh(store):
            return None
        _require_fresh(store, args.store)
        precision = read_facts(store).precision
        offset = (args.page - 1) * args.limit
        rows = store.top_retained(args.type, offset, args.limit)
        labels = object_labels(store, rows)
    finally:
        store.close()
    pages = (total + args.limit - 1) // args.limit
    if args.json:
        # The same keys as the other orders; retained sizes are read from the current records,
        # so no replaced record is ever left out.
        _emit_json({"type": args.type, "by": "retained", "page": args.page, "pages": pages,
                    "limit": args.limit, "total": total, "objects": [_row_json(r, labels) for r in rows],
                    "left_out": 0, "precision": precision})
        return 0
    what = "all types" if args.type == ALL_TYPES else f"type {args.type}"
    if not rows:
        print(f"page {args.page} is past the end: {what} has {pages:,} pages of {args.limit}")
        return 0
    print(f"objects of {what} by retained size, rows {offset + 1:,}-{offset + len(rows):,} "
          f"of {total:,} (page {args.page} of {pages:,})")
    print(_rows_table(rows, labels))
    print(precision_note(precision))
    return 0


# -- tree ---------------------------------------------------------------------------------


def _cmd_tree(args: argparse.Namespace) -> int:
    store = open_engine(args.store)
    try:
        _require_fresh(store, args.store)
        top = None if args.id is None else store.retained(args.id)
        if args.id is not None and top is None:
            raise UserError(f"no object with id {args.id} in the store")
        rows = store.dominator_tree(args.id, args.expand or (), args.limit)
        labels = object_labels(store, [*rows, *([] if top is None else [top])])
    finally:
        store.close()
    if args.json:
        _emit_json({"id": args.id, "object": None if top is None else _row_json(top, labels),
                    "children": [dict(row, label=labels.get(row["id"] or 0)) for row in rows]})
        return 0
    if top is None:
        print("the heap's roots by retained size (what each one alone keeps alive):")
    else:
        print(f"{top['id']} {top['type']} {format_value(top['value'], 30)}".rstrip()
              + f" retains {format_bytes(top['retained'])}; what it alone keeps alive:")
    if not rows:
        print("(nothing: it keeps only itself alive)")
        return 0
    table = []
    width = terminal_width()
    for row in rows:
        merged = row["id"] is None
        what = f"{row['count']:,} x {row['type']}" if merged else row["type"]
        table.append([
            "" if merged else str(row["id"]), what, format_bytes(row["size"]),
            format_bytes(row["retained"]), "" if merged else value_cell(row["value"], labels.get(row["id"] or 0), width),
        ])
    print(format_table(_ROW_HEADERS, table, _ROW_RIGHT, width))
    if any(row["id"] is None for row in rows):
        print("(rows of one type are merged; list them with --expand TYPE)")
    return 0


# -- why ----------------------------------------------------------------------------------


def _root_reason(row: RetainedRow) -> str:
    if row["unreachable"]:
        return "an unreferenced cycle (garbage the next collection frees)"
    if row["type"] == MODULE_TYPE:
        return f"the module {row['value'] or row['id']}"
    return "an object nothing in the dump refers to (a thread's frame, or held from C)"


def _cmd_why(args: argparse.Namespace) -> int:
    store = open_engine(args.store)
    try:
        _require_fresh(store, args.store)
        answer = store.why(args.id)
        labels = {} if answer is None else object_labels(store, [*answer["dominators"], *answer["path"]])
        allocated = allocation_text(args.store, store, args.id)
    finally:
        store.close()
    if answer is None:
        raise UserError(f"no object with id {args.id} in the store")
    dominators, path = answer["dominators"], answer["path"]
    if args.json:
        _emit_json({
            "id": args.id,
            "dominators": [dict(_row_json(r, labels), name=r["name"]) for r in dominators],
            "path": [dict(_row_json(r, labels), name=r["name"]) for r in path],
            "chain": reference_chain(path),
            "allocation": allocated,
        })
        return 0
    target = dominators[-1]
    print(f"{target['id']} {target['type']} {format_value(target['value'], 30)}".rstrip()
          + f": size {format_bytes(target['size'])}, retains {format_bytes(target['retained'])}")
    if allocated is not None:
        print(allocated[0].upper() + allocated[1:] + ".")
    print()
    if len(dominators) == 1:
        print("Nothing else alone keeps it alive: it hangs directly off the roots.")
    else:
        print("Each of these alone keeps it alive (dominators, from the root down):")
        print(_rows_table(dominators[:-1], labels))
    print()
    print(f"A shortest reference path, from {_root_reason(path[0])}:")
    print("  " + reference_chain(path))
    print(_rows_table(path, labels))
    return 0


# -- retained -----------------------------------------------------------------------------


def _cmd_retained(args: argparse.Namespace) -> int:
    compute_retained(args.store, None, sys.stderr, False if args.quiet else sys.stderr.isatty())
    return 0


def add_commands(
    commands: Any,
    add_store: Callable[[argparse.ArgumentParser], None],
    add_json: Callable[[argparse.ArgumentParser], None],
    object_id: Callable[[str], int],
    positive: Callable[[str], int],
) -> None:
    tree = commands.add_parser(
        "tree", help="the dominator tree: what each object alone keeps alive",
        description="List what an object (or, without ID, the root) alone keeps alive, by retained "
        "size; siblings of one type are merged into one row.")
    add_store(tree)
    tree.add_argument("id", type=object_id, nargs="?", help="object id (default: the root)")
    tree.add_argument("--expand", action="append", metavar="TYPE",
                      help="list the objects of TYPE one by one instead of merged (repeatable)")
    tree.add_argument("--limit", type=positive, default=30, help="rows to show (default: 30)")
    add_json(tree)
    tree.set_defaults(handler=_cmd_tree)

    why = commands.add_parser(
        "why", help="why an object is alive: its dominators and a shortest path from a root",
        description="Show the objects that each alone keep ID alive, from the root down, and a "
        "shortest chain of references from a root to it.")
    add_store(why)
    why.add_argument("id", type=object_id, help="object id (decimal or 0x hexadecimal)")
    add_json(why)
    why.set_defaults(handler=_cmd_why)

    retained = commands.add_parser(
        "retained", help="compute retained sizes of a store again",
        description="Compute the dominator tree and retained sizes of a store, e.g. after an "
        "import with --no-retained.")
    add_store(retained)
    retained.add_argument("-q", "--quiet", action="store_true", help="no progress timer")
    retained.set_defaults(handler=_cmd_retained)
