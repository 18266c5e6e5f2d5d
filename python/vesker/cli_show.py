"""`vesker show`: one object, with its references and referrers sorted, filtered and paged.

A busy object (a module's globals) has tens of thousands of referrers; listing them in id
order buries the few that matter, so both lists come largest first by default.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from vesker.formatting import (
    Summary,
    format_bytes,
    format_subtree,
    format_value,
    precision_note,
    summary_table,
    terminal_width,
)
from vesker.labels import object_labels
from vesker.sites import allocation_text
from vesker.store import UserError, open_store
from vesker.store_facts import engine_store, read_facts

if TYPE_CHECKING:
    from vesker.engine import Store

SORTS = ("retained", "subtree", "size", "id")


def _retained_sizes(store: Store, ids: list[int]) -> dict[int, int] | None:
    """Retained sizes by id when the store's are up to date; None when they are missing or
    stale: the order falls back to subtree sizes and the listings go without them."""
    if store.retained_state() != "fresh":
        return None
    sizes: dict[int, int] = {}
    for object_id in set(ids):
        row = store.retained(object_id)
        if row is not None and row["retained"] is not None:
            sizes[object_id] = row["retained"]
    return sizes


def _sort_key(order: str, retained: dict[int, int] | None) -> Callable[[Summary], tuple[int, int]]:
    if order == "retained" and retained is not None:
        return lambda s: (-retained.get(s.id, 0), s.id)
    if order == "size":
        return lambda s: (-(s.size or 0), s.id)
    return lambda s: (-(s.subtree_size or 0), s.id)


def arrange(
    summaries: Sequence[Summary], args: argparse.Namespace, order: str, retained: dict[int, int] | None
) -> tuple[list[Summary], int]:
    """The rows of one page and the number of rows that pass the type filter."""
    rows = [s for s in summaries if args.type is None or s.type == args.type]
    if order != "id":
        rows.sort(key=_sort_key(order, retained))
    if not args.limit:
        return rows, len(rows)
    start = (args.page - 1) * args.limit
    return rows[start : start + args.limit], len(rows)


def run(args: argparse.Namespace) -> int:
    open_store(args.store)  # the checks and messages for a path that is not a store
    with engine_store(args.store) as store:
        facts = read_facts(store)
        found = store.get_object_tolerant(args.id)
        if found is None:
            raise UserError(f"no object with id {args.id} in the store")
        lists = {
            title: [Summary.from_dict(entry) for entry in found[title]]
            for title in ("references", "referrers")
        }
        retained = _retained_sizes(store, [args.id] + [s.id for rows in lists.values() for s in rows])
        order = "subtree" if args.sort == "retained" and retained is None else args.sort
        pages = {title: arrange(rows, args, order, retained) for title, rows in lists.items()}
        # The name of each edge as the dump gives it: `.items` for a reference, and for a
        # referrer the name it holds this object by.
        names = {title: store.edge_names(args.id, title, [s.id for s in rows]) for title, (rows, _) in pages.items()}
        labels = object_labels(store, [found, *(s for rows, _ in pages.values() for s in rows)])
        allocated = allocation_text(args.store, store, args.id)
    if args.json:
        data: dict[str, Any] = {key: found[key] for key in ("id", "type", "value", "size", "subtree_size")}
        data["label"] = labels.get(args.id)
        data["allocation"] = allocated
        if retained is not None:
            data["retained"] = retained.get(args.id)
        data["precision"] = facts.precision
        data["sort"] = order
        for title, (rows, matching) in pages.items():
            data[title] = [dict(_row_json(s, retained), name=name, label=labels.get(s.id))
                           for s, name in zip(rows, names[title])]
            data[title + "_count"] = matching
        json.dump(data, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0

    width = terminal_width()
    print(f"id       {found['id']}")
    print(f"type     {found['type']}")
    if found["value"] is not None:
        print(f"value    {format_value(found['value'], 200)}")
    elif args.id in labels:
        print(f"what     {labels[args.id]}")
    print(f"size     {format_bytes(found['size'])} ({found['size']:,} bytes)")
    if allocated is not None:
        print(f"site     {allocated}")
    if found["subtree_size"] is not None:
        print(f"subtree  {format_subtree(found['subtree_size'], facts.precision, detail=True)}")
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
        print(summary_table(rows, facts.precision, width, retained, labels, shown_names))
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


def _marks(rows: Sequence[Summary]) -> str:
    missing = sum(1 for s in rows if s.state == "missing")
    stale = sum(1 for s in rows if s.state == "stale")
    parts = ([f"{missing:,} without a record"] if missing else []) + (
        [f"{stale:,} stale"] if stale else [])
    return "; " + ", ".join(parts) if parts else ""


def add_arguments(show: argparse.ArgumentParser, object_id: Callable[[str], int],
                  non_negative: Callable[[str], int], positive: Callable[[str], int]) -> None:
    show.add_argument("id", type=object_id, help="object id (decimal or 0x hexadecimal)")
    show.add_argument("--limit", type=non_negative, default=25,
                      help="rows per list and page, 0 for all (default: 25)")
    show.add_argument("--page", type=positive, default=1, help="page of each list to show, from 1")
    show.add_argument("--sort", choices=SORTS, default="retained",
                      help="order of both lists, largest first: retained size (subtree size when "
                      "the store has no retained sizes), subtree size, size, or id (the store's "
                      "order) (default: retained)")
    show.add_argument("-t", "--type", help="list only references and referrers of this type")
