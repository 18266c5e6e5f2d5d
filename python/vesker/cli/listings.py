"""`vesker types` and `vesker top`: the store's types, and the largest objects of a type."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from vesker.cli.arguments import Commands, add_json, add_store, command, non_negative, positive
from vesker.cli.output import count, emit_json, listed, query_error, retained_json, retained_table
from vesker.dump_memory import memory_json, memory_sentence
from vesker.formatting import format_bytes, format_table, precision_note, summary_table, terminal_width
from vesker.store import ALL_TYPES, UserError

if TYPE_CHECKING:
    from vesker.heap import Heap
    from vesker.results import ObjectRow


def register(commands: Commands) -> None:
    types = command(commands, "types", _cmd_types, help="list types by count and total size",
                    description="List the store's types with object counts, "
                    "total direct sizes and, once computed, retained sizes "
                    "(each object counted once per type).")
    add_store(types)
    types.add_argument("--sort", choices=("retained", "size", "count", "name"), default=None,
                       help="order of the rows (default: retained when the store has retained sizes, "
                       "otherwise size)")
    types.add_argument("--limit", type=non_negative, default=25,
                       help="rows to show, 0 for all (default: 25)")
    add_json(types)

    top = command(commands, "top", _cmd_top, help="largest objects of a type or of all types",
                  description="List the largest objects of one type, or of all "
                  "types, by direct, subtree or retained size.")
    add_store(top)
    top.add_argument("-t", "--type", default=ALL_TYPES,
                     help="type name such as builtins.dict (default: all types)")
    top.add_argument("--by", choices=("size", "subtree", "retained"), default=None,
                     help="order by direct, subtree or retained size (default: retained when the "
                     "store has retained sizes, otherwise subtree)")
    top.add_argument("--limit", type=non_negative, default=20,
                     help="rows per page, 0 for all (default: 20)")
    top.add_argument("--page", type=positive, default=1, help="page to show, from 1")
    add_json(top)


def _cmd_types(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    args.sort_given = args.sort is not None
    args.sort = args.sort or "retained"
    with Heap(args.store) as heap:
        facts = heap.facts
        total = heap.totals()
        fresh = heap.retained_fresh
        if args.sort == "retained" and not fresh:
            if args.sort_given:
                raise UserError(f"store {args.store!r} has no up-to-date retained sizes; "
                                f"compute them with 'vesker retained {args.store}', or use --sort size")
            args.sort = "size"
        types = list(heap.types(args.sort))
    shown = types[: args.limit] if args.limit else types
    if args.json:
        emit_json(
            {
                "types": [
                    {"type": row.type, "count": row.count, "total_size": row.total_size, "retained": row.retained}
                    for row in shown
                ],
                "sort": args.sort,
                "type_count": len(types),
                "total": None
                if total is None
                else {"count": total.objects, "total_size": total.total_size},
                "precision": facts.precision,
                "replaced_records": facts.repeated_ids,
                "memory": memory_json(0 if total is None else total.total_size, facts.memory),
            }
        )
        return 0
    if not types:
        from vesker.store_health import object_count

        stored = object_count(args.store)
        if stored:
            raise UserError(
                f"the store holds {stored:,} objects but no type summaries: the step after their "
                "import did not finish; import the dump again into a new directory"
            )
        print("the store holds no objects")
        return 0
    table_rows = [
        [row.type, f"{row.count:,}", format_bytes(row.total_size)] for row in shown
    ]
    if total is not None:
        table_rows.append([f"{ALL_TYPES} ({len(types):,} types)", f"{total.objects:,}", format_bytes(total.total_size)])
    headers: tuple[str, ...] = ("TYPE", "COUNT", "TOTAL SIZE")
    if fresh:
        # Retained counted once per type: objects held by another object of the type add nothing.
        for cells, row in zip(table_rows, shown):
            cells.append(format_bytes(row.retained))
        if total is not None:
            table_rows[-1].append(format_bytes(total.total_size))
        headers += ("RETAINED",)
    print(format_table(headers, table_rows, {1, 2, 3}, terminal_width()))
    if len(shown) < len(types):
        print(f"({len(types) - len(shown):,} more types; use --limit 0 to list all)")
    if facts.repeated_ids:
        print(f"(counts include {count(facts.repeated_ids, 'record')} that a later record "
              "with the same id replaced)")
    if facts.memory is not None and total is not None:
        print(memory_sentence(total.total_size, facts.memory))
    print(precision_note(facts.precision))
    return 0


def _type_suggestion(heap: Heap, typename: str) -> str:
    names = [row.type for row in heap.types("name")]
    close = sorted(name for name in names if name.endswith("." + typename))
    if not close:
        lowered = typename.lower()
        close = sorted(name for name in names if name.lower() == lowered)
    if not close:
        return "see 'vesker types'"
    return "did you mean " + " or ".join(repr(name) for name in close[:3]) + "?"


def _current_rows(rows: list[ObjectRow], typename: str) -> tuple[list[ObjectRow], int]:
    """The rows whose record still matches the listing, and how many were left out.

    A record replaced by a later one with the same id keeps its index rows: the listing then
    names the id under the old type, or twice."""
    kept: list[ObjectRow] = []
    seen: set[int] = set()
    for row in rows:
        if row.id in seen or (typename != ALL_TYPES and row.type != typename):
            continue
        seen.add(row.id)
        kept.append(row)
    return kept, len(rows) - len(kept)


def _cmd_top(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    typename = args.type
    if typename == "":
        raise UserError("the type name must not be empty")
    with Heap(args.store) as heap:
        facts = heap.facts
        total = heap.type_count(typename)
        if total == 0:
            if typename == ALL_TYPES:
                raise UserError("the store holds no objects")
            raise UserError(
                f"no objects of type {typename!r} in the store; {_type_suggestion(heap, typename)}"
            )
        if args.limit == 0:
            args.limit = total
        if args.by in (None, "retained"):
            answered = _top_by_retained(args, total, heap)
            if answered is not None:
                return answered
            args.by = "subtree"
        subtree = args.by == "subtree"
        limit = args.limit
        offset = (args.page - 1) * limit
        try:
            found = heap.top(typename, "subtree" if subtree else "size").window(offset, limit)
        except RuntimeError as error:
            raise query_error(error) from None
    labels = {row.id: row.label for row in found if row.label}
    rows, left_out = _current_rows(found, typename) if facts.repeated_ids else (found, 0)
    if subtree and not rows and offset == 0:
        raise UserError(
            "the store has no subtree sizes (it was imported with --precision none); "
            "use --by size, or import the dump again with another precision"
        )
    pages = (total + limit - 1) // limit
    if args.json:
        emit_json(
            {
                "type": typename,
                "by": args.by,
                "page": args.page,
                "pages": pages,
                "limit": args.limit,
                "total": total,
                "objects": [dict(listed(s).json(), label=labels.get(s.id)) for s in rows],
                "left_out": left_out,
                "precision": facts.precision,
            }
        )
        return 0
    what = "all types" if typename == ALL_TYPES else f"type {typename}"
    order = "subtree size" if subtree else "size"
    if not rows and not left_out:
        print(f"page {args.page} is past the end: {what} has {pages:,} pages of {limit}")
        return 0
    print(
        f"objects of {what} by {order}, rows {offset + 1:,}-{offset + len(rows) + left_out:,} "
        f"of {total:,} (page {args.page} of {pages:,})"
    )
    print(summary_table([listed(s) for s in rows], facts.precision, terminal_width(), labels=labels))
    if left_out:
        print(f"({count(left_out, 'row')} left out: a later record with the same id "
              "replaced the record listed)")
    print(precision_note(facts.precision))
    return 0


def _top_by_retained(args: argparse.Namespace, total: int, heap: Heap) -> int | None:
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
        emit_json({"type": args.type, "by": "retained", "page": args.page, "pages": pages,
                   "limit": args.limit, "total": total, "objects": [retained_json(r) for r in rows],
                   "left_out": 0, "precision": precision})
        return 0
    what = "all types" if args.type == ALL_TYPES else f"type {args.type}"
    if not rows:
        print(f"page {args.page} is past the end: {what} has {pages:,} pages of {args.limit}")
        return 0
    print(f"objects of {what} by retained size, rows {offset + 1:,}-{offset + len(rows):,} "
          f"of {total:,} (page {args.page} of {pages:,})")
    print(retained_table(rows))
    print(precision_note(precision))
    return 0
