"""`vesker tree`, `vesker why` and `vesker retained`: the dominator tree, why an object is
alive, and computing retained sizes again.

The retained size of an object is what would be freed if that object alone went away: the
objects it dominates in the heap's dominator tree.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from typing import TYPE_CHECKING

from vesker.cli.arguments import Commands, add_json, add_store, command, object_id, open_heap, positive
from vesker.cli.output import RETAINED_HEADERS, RETAINED_RIGHT, emit_json, retained_json, retained_table
from vesker.formatting import format_bytes, format_table, format_value, terminal_width, value_cell
from vesker.retained_sizes import MODULE_TYPE, compute_retained

if TYPE_CHECKING:
    from vesker.results import RetainerRow


def register(commands: Commands) -> None:
    tree = command(
        commands, "tree", _cmd_tree, help="the dominator tree: what each object alone keeps alive",
        description="List what an object (or, without ID, the root) alone keeps alive, by retained "
        "size; siblings of one type are merged into one row.")
    add_store(tree)
    tree.add_argument("id", type=object_id, nargs="?", help="object id (default: the root)")
    tree.add_argument("--expand", action="append", metavar="TYPE",
                      help="list the objects of TYPE one by one instead of merged (repeatable)")
    tree.add_argument("--limit", type=positive, default=30, help="rows to show (default: 30)")
    add_json(tree)

    why = command(
        commands, "why", _cmd_why, help="why an object is alive: its dominators and a shortest path from a root",
        description="Show the objects that each alone keep ID alive, from the root down, and a "
        "shortest chain of references from a root to it.")
    add_store(why)
    why.add_argument("id", type=object_id, help="object id (decimal or 0x hexadecimal)")
    add_json(why)

    retained = command(
        commands, "retained", _cmd_retained, help="compute retained sizes of a store again",
        description="Compute the dominator tree and retained sizes of a store, e.g. after an "
        "import with --no-retained.")
    add_store(retained)
    retained.add_argument("-q", "--quiet", action="store_true", help="no progress timer")


# -- tree ---------------------------------------------------------------------------------


def _cmd_tree(args: argparse.Namespace) -> int:
    with open_heap(args.store) as heap:
        top = None if args.id is None else heap.retainer(args.id)
        rows = list(heap.tree(args.id, args.expand or (), args.limit))
    if args.json:
        emit_json({"id": args.id, "object": None if top is None else retained_json(top),
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
    print(format_table(RETAINED_HEADERS, table, RETAINED_RIGHT, width))
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
        emit_json({
            "id": args.id,
            "dominators": [dict(retained_json(r), name=r.name) for r in dominators],
            "path": [dict(retained_json(r), name=r.name) for r in path],
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
        print(retained_table(dominators[:-1]))
    print()
    print(f"A shortest reference path, from {_root_reason(path[0])}:")
    print("  " + answer.chain)
    print(retained_table(path))
    return 0


# -- retained -----------------------------------------------------------------------------


def _cmd_retained(args: argparse.Namespace) -> int:
    compute_retained(args.store, None, sys.stderr, False if args.quiet else sys.stderr.isatty())
    return 0
