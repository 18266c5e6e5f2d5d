"""`vesker waste STORE`: memory the program could do without, and what each fix would save."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TYPE_CHECKING, Any

from vesker.retained_sizes import open_engine
from vesker.formatting import format_bytes, format_table, format_value
from vesker.labels import short_type

if TYPE_CHECKING:
    from vesker.engine import WasteFinding

_KINDS = (
    ("empty", "empty collections (created before they were needed, or never used)"),
    ("over-allocated", "over-allocated lists (more than twice the slots they use)"),
    ("sparse", "sparse dicts and sets (more than twice the size of one of the same length)"),
)
_PLURAL = {"list": "lists", "dict": "dicts", "set": "sets"}


def render(found: WasteFinding) -> str:
    totals = found["totals"]
    everything = sum(t["saving"] for t in totals.values())
    out = [f"What the heap could do without: {format_bytes(everything)} in all"]
    out.append(f"  duplicate str and bytes: {totals['duplicates']['count']:,} values with copies, "
               f"{format_bytes(totals['duplicates']['saving'])} saved by sharing one copy of each")
    for kind, what in _KINDS:
        out.append(f"  {what.split(' (')[0]}: {totals[kind]['count']:,}, "
                   f"{format_bytes(totals[kind]['saving'])}")
    if found["duplicates"]:
        out += ["", "Duplicate values, by what sharing one copy would save:"]
        rows = [[format_bytes(g["saving"]), f"{g['copies']:,}", g["type"], format_value(g["value"], 40),
                 ", ".join(f"{h['label']} ({h['count']:,})" for h in g["holders"])]
                for g in found["duplicates"]]
        out.append(format_table(("SAVING", "COPIES", "TYPE", "VALUE", "HELD BY"), rows, {0, 1}))
    for kind, what in _KINDS:
        groups = [g for g in found["containers"] if g["kind"] == kind]
        if not groups:
            continue
        out += ["", what[0].upper() + what[1:] + ", by what holds them:"]
        for g in groups:
            noun = _PLURAL.get(short_type(g["type"]), short_type(g["type"]))
            saving = "" if kind == "empty" else f", {format_bytes(g['saving'])} spare"
            out.append(f"  {g['holder']}: {g['count']:,} {kind} {noun}, {format_bytes(g['size'])}{saving}")
    return "\n".join(out)


def cmd_waste(args: argparse.Namespace) -> int:
    store = open_engine(args.store)
    try:
        found = store.waste(args.limit)
    finally:
        store.close()
    if args.json:
        json.dump(found, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print(render(found))
    return 0


def add_command(commands: Any, add_store: Any, add_json: Any, positive: Any) -> None:
    waste = commands.add_parser(
        "waste", help="duplicate strings, empty and over-allocated collections, and what each would save",
        description="Find equal str and bytes values kept in several copies (with what holds them), "
        "empty lists, dicts and sets, over-allocated lists and sparse dicts and sets, grouped by the "
        "attribute or key that holds them, and what removing each kind of waste would save.")
    add_store(waste)
    waste.add_argument("--limit", type=positive, default=20, help="groups of each kind to show (default: 20)")
    add_json(waste)
    waste.set_defaults(handler=cmd_waste)
