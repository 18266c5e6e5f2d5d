"""`vesker waste STORE`: memory the program could do without, and what each fix would save."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from vesker.cli.arguments import Commands, add_json, add_store, command, open_heap, positive
from vesker.cli.output import emit_json
from vesker.formatting import format_bytes, format_table, format_value
from vesker.labels import short_type

if TYPE_CHECKING:
    from vesker.results import Waste

_KINDS = (
    ("empty", "empty collections (created before they were needed, or never used)"),
    ("over-allocated", "over-allocated lists (more than twice the slots they use)"),
    ("sparse", "sparse dicts and sets (more than twice the size of one of the same length)"),
)
_PLURAL = {"list": "lists", "dict": "dicts", "set": "sets"}


def register(commands: Commands) -> None:
    waste = command(
        commands, "waste", cmd_waste,
        help="duplicate strings, empty and over-allocated collections, and what each would save",
        description="Find equal str and bytes values kept in several copies (with what holds them), "
        "empty lists, dicts and sets, over-allocated lists and sparse dicts and sets, grouped by the "
        "attribute or key that holds them, and what removing each kind of waste would save.")
    add_store(waste)
    waste.add_argument("--limit", type=positive, default=20, help="groups of each kind to show (default: 20)")
    add_json(waste)


def cmd_waste(args: argparse.Namespace) -> int:
    with open_heap(args.store) as heap:
        found = heap.waste(args.limit)
    if args.json:
        emit_json(as_json(found))
    else:
        print(render(found))
    return 0


def render(found: Waste) -> str:
    totals = found.totals
    everything = sum(saving for _, saving in totals.values())
    out = [f"What the heap could do without: {format_bytes(everything)} in all"]
    copies, shared = totals["duplicates"]
    out.append(f"  duplicate str and bytes: {copies:,} values with copies, "
               f"{format_bytes(shared)} saved by sharing one copy of each")
    for kind, what in _KINDS:
        count, saving = totals[kind]
        out.append(f"  {what.split(' (')[0]}: {count:,}, {format_bytes(saving)}")
    if found.duplicates:
        out += ["", "Duplicate values, by what sharing one copy would save:"]
        rows = [[format_bytes(g.saving), f"{g.copies:,}", g.type, format_value(g.value, 40), g.held_by]
                for g in found.duplicates]
        out.append(format_table(("SAVING", "COPIES", "TYPE", "VALUE", "HELD BY"), rows, {0, 1}))
    for kind, what in _KINDS:
        groups = [g for g in found.containers if g.kind == kind]
        if not groups:
            continue
        out += ["", what[0].upper() + what[1:] + ", by what holds them:"]
        for g in groups:
            noun = _PLURAL.get(short_type(g.type), short_type(g.type))
            spare = "" if kind == "empty" else f", {format_bytes(g.saving)} spare"
            out.append(f"  {g.holder}: {g.count:,} {kind} {noun}, {format_bytes(g.size)}{spare}")
    return "\n".join(out)


def as_json(found: Waste) -> dict[str, Any]:
    return {
        "duplicates": [{"type": g.type, "value": g.value, "size": g.size, "copies": g.copies, "saving": g.saving,
                        "sample": g.sample_id, "holders": [{"label": h.label, "count": h.count} for h in g.holders]}
                       for g in found.duplicates],
        "containers": [{"kind": g.kind, "type": g.type, "holder": g.holder, "count": g.count, "size": g.size,
                        "saving": g.saving, "sample": g.sample_id} for g in found.containers],
        "totals": {kind: {"count": count, "saving": saving} for kind, (count, saving) in found.totals.items()},
    }
