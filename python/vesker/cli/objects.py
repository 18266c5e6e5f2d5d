"""`vesker show`, `vesker path` and `vesker common`: one object with its references and
referrers sorted, filtered and paged; a shortest path between two objects; the largest object both reach.

A busy object (a module's globals) has tens of thousands of referrers; listing them in id
order buries the few that matter, so both lists come largest first by default.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from vesker.cli.arguments import Commands, add_json, add_store, command, non_negative, object_id, positive
from vesker.cli.output import emit_json, listed, query_error
from vesker.formatting import (
    Summary,
    format_bytes,
    format_subtree,
    format_value,
    precision_note,
    summary_table,
    terminal_width,
)
from vesker.store import UserError

if TYPE_CHECKING:
    from vesker.heap import Direction, Heap
    from vesker.results import ObjectRow

SORTS = ("retained", "subtree", "size", "id")


def register(commands: Commands) -> None:
    show = command(commands, "show", _cmd_show, help="one object with its references and referrers",
                   description="Show one object with the objects it refers to and "
                   "the objects that refer to it.")
    add_store(show)
    show.add_argument("id", type=object_id, help="object id (decimal or 0x hexadecimal)")
    show.add_argument("--limit", type=non_negative, default=25,
                      help="rows per list and page, 0 for all (default: 25)")
    show.add_argument("--page", type=positive, default=1, help="page of each list to show, from 1")
    show.add_argument("--sort", choices=SORTS, default="retained",
                      help="order of both lists, largest first: retained size (subtree size when "
                      "the store has no retained sizes), subtree size, size, or id (the store's "
                      "order) (default: retained)")
    show.add_argument("-t", "--type", help="list only references and referrers of this type")
    add_json(show)

    path = command(commands, "path", _cmd_path, help="a shortest chain of references between two objects",
                   description="Find a shortest chain of references from START to "
                   "END; modules are never passed through.")
    add_store(path)
    path.add_argument("start", type=object_id, help="id of the first object")
    path.add_argument("end", type=object_id, help="id of the last object")
    path.add_argument("--avoid", type=object_id, action="append", metavar="ID",
                      help="an id the path must not pass through (repeatable)")
    add_json(path)

    common = command(commands, "common", _cmd_common, help="largest object reachable from two objects",
                     description="Find the object with the largest subtree size "
                     "that both objects reach.")
    add_store(common)
    common.add_argument("first", type=object_id, help="id of one object")
    common.add_argument("second", type=object_id, help="id of the other object")
    add_json(common)


def _sort_key(order: str, retained: dict[int, int] | None) -> Callable[[ObjectRow], tuple[int, int]]:
    if order == "retained" and retained is not None:
        return lambda s: (-retained.get(s.id, 0), s.id)
    if order == "size":
        return lambda s: (-(s.size or 0), s.id)
    return lambda s: (-(s.subtree_size or 0), s.id)


def arrange(
    edges: Sequence[ObjectRow], args: argparse.Namespace, order: str, retained: dict[int, int] | None
) -> tuple[list[ObjectRow], int]:
    """The rows of one page and the number of rows that pass the type filter."""
    rows = [s for s in edges if args.type is None or s.type == args.type]
    if order != "id":
        rows.sort(key=_sort_key(order, retained))
    if not args.limit:
        return rows, len(rows)
    start = (args.page - 1) * args.limit
    return rows[start : start + args.limit], len(rows)


def _cmd_show(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    with Heap(args.store) as heap:
        facts = heap.facts
        found = heap.neighbours(args.id)
        lists: dict[Direction, list[ObjectRow]] = {"references": found.references, "referrers": found.referrers}
        retained = ({row.id: row.retained for row in [found.object, *found.references, *found.referrers]
                     if row.retained is not None} if found.retained_known else None)
        order = "subtree" if args.sort == "retained" and retained is None else args.sort
        pages = {title: arrange(rows, args, order, retained) for title, rows in lists.items()}
        shown = {title: heap.named(args.id, title, rows) for title, (rows, _) in pages.items()}
        label = heap.label(found.object)
    labels = {row.id: row.label for rows in shown.values() for row in rows if row.label}
    if label:
        labels[args.id] = label
    names = {title: [row.name for row in rows] for title, rows in shown.items()}
    allocated = found.allocation
    top = found.object
    if args.json:
        data: dict[str, Any] = {"id": top.id, "type": top.type, "value": top.value, "size": top.size,
                                "subtree_size": top.subtree_size}
        data["label"] = labels.get(args.id)
        data["allocation"] = allocated
        if retained is not None:
            data["retained"] = retained.get(args.id)
        data["precision"] = facts.precision
        data["sort"] = order
        for title, (rows, matching) in pages.items():
            data[title] = [dict(_row_json(listed(s), retained), name=s.name, label=labels.get(s.id))
                           for s in shown[title]]
            data[title + "_count"] = matching
        emit_json(data)
        return 0

    width = terminal_width()
    print(f"id       {top.id}")
    print(f"type     {top.type}")
    if top.value is not None:
        print(f"value    {format_value(top.value, 200)}")
    elif args.id in labels:
        print(f"what     {labels[args.id]}")
    print(f"size     {format_bytes(top.size)} ({top.size:,} bytes)")
    if allocated is not None:
        print(f"site     {allocated}")
    if top.subtree_size is not None:
        print(f"subtree  {format_subtree(top.subtree_size, facts.precision, detail=True)}")
    if retained is not None and args.id in retained:
        print(f"retained {format_bytes(retained[args.id])} ({retained[args.id]:,} bytes)")
    filtered = f" of type {args.type}" if args.type else ""
    for title, (rows, matching) in pages.items():
        total = len(lists[title])
        print()
        counts = f"{matching:,} of {total:,}" if args.type else f"{total:,}"
        marks = _marks(lists[title])
        print(f"{title}{filtered} ({counts}{marks}), {_ORDER_TEXT[order]}:")
        if not rows:
            continue
        shown_names = names[title] if any(names[title]) else None
        print(summary_table([listed(s) for s in rows], facts.precision, width, retained, labels, shown_names))
        shown_to = (args.page - 1) * args.limit + len(rows) if args.limit else len(rows)
        if shown_to < matching:
            print(f"(rows {shown_to - len(rows) + 1:,}-{shown_to:,}; {matching - shown_to:,} more: "
                  f"--page {args.page + 1}, or --limit 0 to list all)")
    print()
    print(precision_note(facts.precision))
    return 0


def _row_json(summary: Summary, retained: dict[int, int] | None) -> dict[str, Any]:
    """A listing row; "retained" joins it when the store's retained sizes are up to date."""
    data = summary.json()
    if retained is not None:
        data["retained"] = retained.get(summary.id)
    return data


_ORDER_TEXT = {
    "retained": "largest retained size first",
    "subtree": "largest subtree size first",
    "size": "largest size first",
    "id": "in store order",
}


def _marks(rows: Sequence[ObjectRow]) -> str:
    missing = sum(1 for s in rows if s.state == "missing")
    stale = sum(1 for s in rows if s.state == "stale")
    parts = ([f"{missing:,} without a record"] if missing else []) + (
        [f"{stale:,} stale"] if stale else [])
    return "; " + ", ".join(parts) if parts else ""


def _cmd_path(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    avoid = frozenset(args.avoid or ())
    with Heap(args.store) as heap:
        facts = heap.facts
        unknown = heap.missing(avoid)
        if unknown:
            raise UserError(
                "no object with id " + ", ".join(map(str, unknown)) + " in the store (given to --avoid)"
            )
        try:
            found = heap.path(args.start, args.end, avoid)
        except RuntimeError as error:
            raise query_error(error) from None
        retained = _retained_of(heap, found)
    path = [listed(row) for row in found] if found.found else None
    names = [row.name for row in found] or [None]
    labels = {row.id: row.label for row in found if row.label}
    if args.json:
        emit_json(None if path is None else [
            dict(s.json(), name=name, label=labels.get(s.id),
                 **({} if retained is None else {"retained": retained.get(s.id)}))
            for s, name in zip(path, names)])
        return 0
    if path is None:
        print(f"no path from {args.start} to {args.end}")
        return 0
    print(f"path of {len(path) - 1} references from {args.start} to {args.end}:")
    if any(names):
        print("  " + found.chain)
    print(summary_table(path, facts.precision, terminal_width(), retained, labels, names if any(names) else None))
    print(precision_note(facts.precision))
    return 0


def _retained_of(heap: Heap, rows: Sequence[ObjectRow]) -> dict[int, int] | None:
    """Retained sizes of the rows when the store's are up to date, else None."""
    if not heap.retained_fresh:
        return None
    return {row.id: row.retained for row in rows if row.retained is not None}


def _cmd_common(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    with Heap(args.store) as heap:
        facts = heap.facts
        try:
            found = heap.common(args.first, args.second)
        except RuntimeError as error:
            raise query_error(error) from None
        retained = None if found is None else _retained_of(heap, [found])
    if found is None:
        if args.json:
            emit_json(None)
        else:
            print(f"{args.first} and {args.second} reach no common object")
        return 0
    labels = {found.id: found.label} if found.label else {}
    summary = listed(found)
    if args.json:
        emit_json(dict(summary.json(), label=labels.get(summary.id),
                        **({} if retained is None else {"retained": retained.get(summary.id)})))
        return 0
    print(f"largest object reachable from both {args.first} and {args.second}:")
    print(summary_table([summary], facts.precision, terminal_width(), retained, labels))
    print(precision_note(facts.precision))
    return 0

