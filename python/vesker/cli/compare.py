"""`vesker diff OLD NEW` and `vesker growth D1 D2 ...`: what grew between dumps."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import TYPE_CHECKING, Any

from vesker.cli.arguments import Commands, add_json, command, non_negative, positive
from vesker.cli.output import emit_json
from vesker.compared_sizes import Measure, StoreSide, comparable_measure, lacking_retained
from vesker.dump_memory import memory_change_sentence, memory_json, memory_sentence
from vesker.formatting import format_bytes, format_table, value_cell
from vesker.site_growth import made_at
from vesker.store import UserError, is_store
from vesker.store_facts import StoreFacts, incomplete_dump_note

if TYPE_CHECKING:
    from vesker.engine import Comparison, Totals, TypeChange
    from vesker.heap import Heap
    from vesker.results import Growth

_ONE_PROCESS_ONLY = (
    "ids only name the same object within one process; pass --same-process if they do"
)


def register(commands: Commands) -> None:
    diff = command(
        commands, "diff", cmd_diff, help="what grew between two dumps",
        description="Compare two stores per type; when both dumps come from one process, also "
        "object by object: the new objects by type and what holds them; otherwise what grew under "
        "the stable paths from modules (module, attribute and key names) where the dumps name references.")
    diff.add_argument("old", help="store of the earlier dump")
    diff.add_argument("new", help="store of the later dump")
    diff.add_argument("--by", choices=("size", "count", "retained"), default="size",
                      help="order types by growth of this (default: size)")
    diff.add_argument("--limit", type=non_negative, default=25, help="rows to show, 0 for all (default: 25)")
    diff.add_argument("--all-types", action="store_true", help="list the types that did not change too")
    _add_mode(diff)
    add_json(diff)

    grow = command(
        commands, "growth", cmd_growth, help="objects that kept growing across dumps of one process",
        description="List the objects of the last store whose size never shrank and grew across "
        "the stores (given in time order) in which they exist, largest final size first.")
    grow.add_argument("stores", nargs="+", metavar="STORE", help="stores of three or more dumps, oldest first")
    grow.add_argument("--limit", type=positive, default=20, help="objects to show (default: 20)")
    _add_mode(grow)
    add_json(grow)


def _open(path: str) -> Heap:
    if not os.path.isdir(path):
        raise UserError(f"store {path!r} does not exist (create it with 'vesker import')")
    if not is_store(path):
        raise UserError(f"{path!r} is not a store: it holds no data.mdb")
    from vesker.heap import Heap

    return Heap(path)


def _one_process(forced: bool | None, heaps: list[Heap]) -> bool | None:
    """The mode: forced by an option, else what the dumps' identities say (None: unknown)."""
    if forced is not None:
        return forced
    verdicts = {heaps[0].same_process_as(other) for other in heaps[1:]}
    if None in verdicts:
        return None
    return verdicts == {True}


def _signed(value: int) -> str:
    return f"{value:+,}"


def _signed_bytes(value: int) -> str:
    return ("+" if value >= 0 else "-") + format_bytes(abs(value))


_GROWTH_KEYS = {"count": "count", "size": "size", "retained": "retained"}


def _change(row: TypeChange, key: str) -> int:
    return int(row["new"][key] or 0) - int(row["old"][key] or 0)  # type: ignore[literal-required]


def cmd_diff(args: argparse.Namespace) -> int:
    old, new = _open(args.old), _open(args.new)
    with old, new:
        mode = _one_process(args.same_process, [old, new])
        sides = [old.side(), new.side()]
        if args.by == "retained" and any(side.retained != "fresh" for side in sides):
            raise UserError(f"{lacking_retained(sides)}; use --by size or --by count, "
                            "or compute them with 'vesker retained STORE'")
        changes = new.changes(old, bool(mode))
        result, held, added_sites = changes.comparison, changes.held, changes.added_sites
        labels = _holder_labels(new, result["retained"], held, args.limit)
        old_facts, new_facts = old.facts, new.facts
    measure = comparable_measure(sides, result["retained"])
    if measure.sizes is None:
        result["paths"] = []
    key = _GROWTH_KEYS[args.by]
    types = sorted(result["types"], key=lambda row: (-_change(row, key), row["type"]))
    changed = types if args.all_types else [row for row in types if _changed(row)]
    shown = changed[: args.limit] if args.limit else changed
    if args.json:
        emit_json({**result, "held": held, "added_sites": added_sites, "total": _without_retained(result["total"]),
                   "mode_known": mode is not None, "types": shown, "type_count": len(types),
                   "unchanged_types": len(types) - len(changed),
                   "holder_labels": {str(holder): label for holder, label in labels.items()},
                   "dangling_references": {"old": old_facts.dangling_references,
                                           "new": new_facts.dangling_references},
                   "memory": {"old": memory_json(result["total"]["old"]["size"], old_facts.memory),
                              "new": memory_json(result["total"]["new"]["size"], new_facts.memory)},
                   "stores": {"old": sides[0].as_json(), "new": sides[1].as_json()},
                   "sizes": _measure_json(measure)})
        return 0
    _print_sides(sides)
    _print_dump_notes(result, old_facts, new_facts)
    if mode is None:
        print("the stores do not say which process their dumps came from: comparing types and stable paths "
              "(--same-process compares objects too)")
    elif not mode:
        print("the dumps come from different processes: comparing types and stable paths")
    # The answer first: what is new and what holds it, or what grew under which path.
    if result["same_process"]:
        _print_new_objects(result, held, args.limit, labels)
        _print_added_sites(added_sites, args.limit)
    else:
        _print_paths(result, args.limit, measure, sides)
    print()
    print("by type:")
    print(_type_table(shown, result))
    hidden = len(changed) - len(shown)
    unchanged = len(types) - len(changed)
    notes = ([f"{hidden:,} more types; use --limit 0 to list all"] if hidden else []) + (
        [f"{unchanged:,} types did not change; --all-types lists them"] if unchanged else [])
    if notes:
        print("(" + "; ".join(notes) + ")")
    return 0


def _without_retained(row: TypeChange) -> dict[str, Any]:
    """The total of every type, whose retained sizes would add up overlapping ones: left out."""
    return {key: dict(value, retained=None) if isinstance(value, dict) else value for key, value in row.items()}


def _changed(row: TypeChange) -> bool:
    if row["old"] != row["new"]:
        return True
    return any(totals is not None and totals["count"] for totals in (row["added"], row["removed"]))


def _print_dump_notes(result: Comparison, old: StoreFacts, new: StoreFacts) -> None:
    """What the dumps lacked, and how much of the processes' memory their objects are."""
    for side, facts in (("old", old), ("new", new)):
        if facts.dangling_references:
            print(f"{side} store: {incomplete_dump_note(facts.dangling_references)}")
    old_objects, new_objects = result["total"]["old"]["size"], result["total"]["new"]["size"]
    if old.memory is not None and new.memory is not None:
        print(memory_change_sentence(old_objects, old.memory, new_objects, new.memory))
    elif new.memory is not None:
        print(f"new dump: {memory_sentence(new_objects, new.memory)}")
    elif old.memory is not None:
        print(f"old dump: {memory_sentence(old_objects, old.memory)}")


def _measure_json(measure: Measure) -> dict[str, Any]:
    return {"compared": measure.sizes, "estimate": measure.estimate, "not_compared": measure.reason}


def _print_sides(sides: list[StoreSide]) -> None:
    for label, side in zip(("old", "new"), sides):
        print(f"{label}: {side.path} ({side.describe()})")


def _print_paths(result: Comparison, limit: int, measure: Measure, sides: list[StoreSide]) -> None:
    print()
    if measure.sizes is None:
        print(f"stable paths: {measure.reason}")
        return
    paths = result["paths"]
    if not paths:
        unnamed = [side.path for side in sides if not side.names]
        print("no stable path from a module grew" + (
            f" ({', '.join(map(repr, unnamed))} has no reference names: dump with names to have them)"
            if unnamed else ""))
        return
    sizes = f"{measure.sizes} sizes" + (f", estimates ({measure.estimate})" if measure.estimate else "")
    print(f"what grew by stable path from a module ({sizes}; the deepest path that holds most of a growth):")
    for change in paths[: limit or None]:
        old = change["old"]
        new = change["new"]
        before = format_bytes(old["size"]) if old else "absent"
        items = new["items"] - (old["items"] if old else 0)
        print(f"  {change['path']}: {before} -> {format_bytes(new['size'])} "
              f"({_signed_bytes(new['size'] - (old['size'] if old else 0))}), {_signed(items)} items")


def _holder_labels(heap: Heap, retained: bool, held: list[dict[str, Any]], limit: int) -> dict[int, str]:
    """The shown holders named by the reference that keeps them, where the dump named it."""
    if not retained:
        return {}
    labels = {}
    for group in held[: limit or None]:
        holder = group["largest_holder"]
        label = heap.holder_label(holder) if group["holder_type"] is not None else None
        if label:
            labels[holder] = label
    return labels


def _type_table(rows: list[TypeChange], result: Comparison) -> str:
    retained = result["retained"]
    one_process = result["same_process"]
    headers = ["TYPE", "OLD COUNT", "NEW COUNT", "COUNT", "OLD SIZE", "NEW SIZE", "SIZE"]
    if retained:
        headers.append("RETAINED")
    if one_process:
        headers += ["NEW OBJECTS", "GONE"]
    table = []
    for row in [*rows, result["total"]]:
        line = [row["type"], f"{row['old']['count']:,}", f"{row['new']['count']:,}", _signed(_change(row, "count")),
                format_bytes(row["old"]["size"]), format_bytes(row["new"]["size"]),
                _signed_bytes(_change(row, "size"))]
        if retained:
            # Retained sizes of different types overlap (a list's includes its items'): the
            # total row would add them up, so it has none.
            line.append("" if row is result["total"] else _signed_bytes(_change(row, "retained")))
        if one_process:
            line += [f"{_one_process_totals(row, 'added')['count']:,}",
                     f"{_one_process_totals(row, 'removed')['count']:,}"]
        table.append(line)
    return format_table(tuple(headers), table, set(range(1, len(headers))))


def _one_process_totals(row: TypeChange, key: str) -> Totals:
    totals = row["added"] if key == "added" else row["removed"]
    assert totals is not None, "compared object by object"
    return totals


def _print_new_objects(result: Comparison, held: list[dict[str, Any]], limit: int, labels: dict[int, str]) -> None:
    added = sorted(((row, _one_process_totals(row, "added")) for row in result["types"]),
                   key=lambda pair: (-pair[1]["size"], pair[0]["type"]))
    added = [(row, totals) for row, totals in added if totals["count"]]
    print()
    total = _one_process_totals(result["total"], "added")
    print(f"new objects: {total['count']:,} ({format_bytes(total['size'])}) in {len(added):,} types")
    for row, totals in added[: limit or None]:
        print(f"  {_signed(totals['count'])} x {row['type']}, {_signed_bytes(totals['size'])}")
    print()
    how = "nearest dominator" if result["retained"] else "a referrer"
    print(f"new objects by what holds them ({how} that already existed), with everything new below them:")
    for group in held[: limit or None]:
        print("  " + held_line(group, labels))


def held_line(group: dict[str, Any], labels: dict[int, str]) -> str:
    """"+500 x app.Report, +1.2 MiB in 1,500 objects, made at app.py:8 in build, held by CACHE (dict)"."""
    named = labels.get(group["largest_holder"])
    holder = "the roots" if group["holder_type"] is None else (
        (f"{named} ({group['holder_type']})" if named else f"{group['holder_type']} {group['largest_holder']}")
        + (f" and {group['holders'] - 1:,} more" if group["holders"] > 1 else "")
    )
    return (f"{_signed(group['count'])} x {group['type']}, {_signed_bytes(group['held_size'])} "
            f"in {group['held_count']:,} objects{made_at(group)}, held by {holder}")


def _print_added_sites(rows: list[dict[str, Any]], limit: int) -> None:
    if not rows:
        return
    print()
    print("new objects by where they were allocated:")
    for row in rows[: limit or None]:
        place = row["allocated_at"] or "an unknown site (made before tracing started, or outside Python's allocator)"
        print(f"  {_signed(row['count'])} objects, {_signed_bytes(row['size'])}, made at {place}")


def cmd_growth(args: argparse.Namespace) -> int:
    if len(args.stores) < 3:
        raise UserError(f"growth needs three or more stores of one process, oldest first (got {len(args.stores)}); "
                        "to compare two, use `vesker diff OLD NEW`")
    with contextlib.ExitStack() as opened:
        heaps = [opened.enter_context(_open(path)) for path in args.stores]
        mode = _one_process(args.same_process, heaps)
        if mode is not True:
            raise UserError(
                ("the dumps come from different processes; " if mode is False
                 else "the stores do not say which process their dumps came from; ") + _ONE_PROCESS_ONLY
            )
        sides = [heap.side() for heap in heaps]
        result = heaps[-1].growth_report(heaps[:-1], args.limit)
        by_site, holder_labels = _growth_by_site(heaps[0], heaps[-1], args.limit)
    measure = comparable_measure(sides, result.sizes == "retained")
    if measure.sizes is None:
        raise UserError(f"growth is not measured: {measure.reason}")
    if args.json:
        emit_json({"objects": [{"id": row.id, "type": row.type, "value": row.value, "sizes": list(row.sizes),
                                "label": row.label} for row in result.objects],
                   "growing": result.growing, "sources": result.sources, "sizes": result.sizes,
                   "stores": [side.as_json() for side in sides], "estimate": measure.estimate,
                   "by_site": None if by_site is None else [
                       dict(group, holder_label=holder_labels.get(group["largest_holder"])) for group in by_site]})
        return 0
    if not result.objects:
        print(f"nothing grew across the {len(heaps)} dumps")
        return 0
    _print_growth_objects(result, measure, len(heaps))
    if by_site:
        print()
        print("objects new since the first dump, by where they were made and what holds them:")
        for group in by_site:
            print("  " + held_line(group, holder_labels))
    return 0


def _growth_by_site(first: Heap, last: Heap, limit: int) -> tuple[list[dict[str, Any]] | None, dict[int, str]]:
    """Where the last dump recorded sites: the objects new since the first dump made at known
    sites, grouped by site, type and holder (None without sites)."""
    if not last.has_allocation_sites():
        return None, {}
    changes = last.changes(first, True)
    known = [group for group in changes.held if group["allocated_at"]][:limit]
    return known, _holder_labels(last, changes.comparison["retained"], known, limit)


def _print_growth_objects(result: Growth, measure: Measure, count: int) -> None:
    print(f"{result.growing:,} objects never shrank and grew across the {count} dumps; "
          f"growth happens in {result.sources:,} of them (the others only hold those), "
          f"the largest by final {result.sizes} size"
          + (f" (estimates, precision {measure.estimate})" if measure.estimate else "") + ":")
    headers = ("ID", "TYPE", *[f"D{i + 1}" for i in range(count)], "GROWTH", "VALUE")
    rows = []
    for item in result.objects:
        known = [size for size in item.sizes if size is not None]
        rows.append([str(item.id), item.type, *[format_bytes(size) for size in item.sizes],
                     _signed_bytes(known[-1] - known[0]), value_cell(item.value, item.label)])
    print(format_table(headers, rows, set(range(2, 3 + count))))


def _add_mode(parser: argparse.ArgumentParser) -> None:
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--same-process", dest="same_process", action="store_const", const=True, default=None,
                      help="the dumps come from one process (default: what their identities say)")
    mode.add_argument("--different-process", dest="same_process", action="store_const", const=False,
                      help="the dumps come from different processes: compare types and stable paths")
