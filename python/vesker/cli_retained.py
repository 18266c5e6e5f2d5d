"""Retained sizes on the command line: computing them after an import, `top --by retained`,
`tree`, `why`, `retained`, and the retained column of `types`.

The retained size of an object is what would be freed if that object alone went away: the
objects it dominates in the heap's dominator tree.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from vesker.formatting import (
    format_bytes,
    format_table,
    format_value,
    precision_note,
    terminal_width,
    value_cell,
)
from vesker.retained_sizes import MODULE_TYPE, compute_retained
from vesker.store import ALL_TYPES, UserError, is_store

if TYPE_CHECKING:
    from vesker.heap import Heap
    from vesker.results import ObjectRow, RetainerRow


def open_heap(path: str) -> Heap:
    """The store at `path`, said not to be one in the words of the commands on retained sizes."""
    if not os.path.isdir(path) or not is_store(path):
        raise UserError(f"{path!r} is not a store (create it with 'vesker import')")
    from vesker.heap import Heap

    return Heap(path)


_ROW_HEADERS = ("ID", "TYPE", "SIZE", "RETAINED", "VALUE")
_ROW_RIGHT = {0, 2, 3}


def _row_cells(row: RetainerRow | ObjectRow, width: int | None) -> list[str]:
    value = value_cell(row.value, row.label, width)
    if row.unreachable:
        value = ("(unreachable) " + value).rstrip()
    return [str(row.id), row.type or "", format_bytes(row.size), format_bytes(row.retained), value]


def _rows_table(rows: Sequence[RetainerRow | ObjectRow]) -> str:
    width = terminal_width()
    return format_table(_ROW_HEADERS, [_row_cells(r, width) for r in rows], _ROW_RIGHT, width)


def _row_json(row: RetainerRow | ObjectRow) -> dict[str, Any]:
    return {"id": row.id, "type": row.type, "value": row.value, "size": row.size, "retained": row.retained,
            "unreachable": row.unreachable, "label": row.label}


def _emit_json(data: object) -> None:
    json.dump(data, sys.stdout, indent=2)
    sys.stdout.write("\n")


# -- top --by retained --------------------------------------------------------------------


def top_by_retained(args: argparse.Namespace, total: int, heap: Heap) -> int | None:
    """`top` ordered by retained size; None when that is only the default and there are none."""
    if args.by is None and not heap.retained_fresh:
        return None
    heap.require_retained()
    precision = heap.facts.precision
    offset = (args.page - 1) * args.limit
    rows = heap.top(args.type, "retained").window(offset, args.limit)
    pages = (total + args.limit - 1) // args.limit
    if args.json:
        # The same keys as the other orders; retained sizes are read from the current records,
        # so no replaced record is ever left out.
        _emit_json({"type": args.type, "by": "retained", "page": args.page, "pages": pages,
                    "limit": args.limit, "total": total, "objects": [_row_json(r) for r in rows],
                    "left_out": 0, "precision": precision})
        return 0
    what = "all types" if args.type == ALL_TYPES else f"type {args.type}"
    if not rows:
        print(f"page {args.page} is past the end: {what} has {pages:,} pages of {args.limit}")
        return 0
    print(f"objects of {what} by retained size, rows {offset + 1:,}-{offset + len(rows):,} "
          f"of {total:,} (page {args.page} of {pages:,})")
    print(_rows_table(rows))
    print(precision_note(precision))
    return 0


# -- tree ---------------------------------------------------------------------------------


def _cmd_tree(args: argparse.Namespace) -> int:
    with open_heap(args.store) as heap:
        top = None if args.id is None else heap.retainer(args.id)
        rows = list(heap.tree(args.id, args.expand or (), args.limit))
    if args.json:
        _emit_json({"id": args.id, "object": None if top is None else _row_json(top),
                    "children": [dataclasses.asdict(row) for row in rows]})
        return 0
    if top is None:
        print("the heap's roots by retained size (what each one alone keeps alive):")
    else:
        print(f"{top.id} {top.type} {format_value(top.value, 30)}".rstrip()
              + f" retains {format_bytes(top.retained)}; what it alone keeps alive:")
    if not rows:
        print("(nothing: it keeps only itself alive)")
        return 0
    table = []
    width = terminal_width()
    for row in rows:
        merged = row.id is None
        what = f"{row.count:,} x {row.type}" if merged else row.type
        table.append([
            "" if merged else str(row.id), what, format_bytes(row.size),
            format_bytes(row.retained), "" if merged else value_cell(row.value, row.label, width),
        ])
    print(format_table(_ROW_HEADERS, table, _ROW_RIGHT, width))
    if any(row.id is None for row in rows):
        print("(rows of one type are merged; list them with --expand TYPE)")
    return 0


# -- why ----------------------------------------------------------------------------------


def _root_reason(row: RetainerRow) -> str:
    if row.unreachable:
        return "an unreferenced cycle (garbage the next collection frees)"
    if row.type == MODULE_TYPE:
        return f"the module {row.value or row.id}"
    return "an object nothing in the dump refers to (a thread's frame, or held from C)"


def _cmd_why(args: argparse.Namespace) -> int:
    with open_heap(args.store) as heap:
        answer = heap.why(args.id)
    dominators, path = list(answer.dominators), list(answer.path)
    if args.json:
        _emit_json({
            "id": args.id,
            "dominators": [dict(_row_json(r), name=r.name) for r in dominators],
            "path": [dict(_row_json(r), name=r.name) for r in path],
            "chain": answer.chain,
            "allocation": answer.allocation,
        })
        return 0
    target = dominators[-1]
    print(f"{target.id} {target.type} {format_value(target.value, 30)}".rstrip()
          + f": size {format_bytes(target.size)}, retains {format_bytes(target.retained)}")
    if answer.allocation is not None:
        print(answer.allocation[0].upper() + answer.allocation[1:] + ".")
    print()
    if len(dominators) == 1:
        print("Nothing else alone keeps it alive: it hangs directly off the roots.")
    else:
        print("Each of these alone keeps it alive (dominators, from the root down):")
        print(_rows_table(dominators[:-1]))
    print()
    print(f"A shortest reference path, from {_root_reason(path[0])}:")
    print("  " + answer.chain)
    print(_rows_table(path))
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
