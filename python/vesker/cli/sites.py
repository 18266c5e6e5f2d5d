"""`vesker sites STORE`: where the memory was allocated, with what each site keeps alive."""

from __future__ import annotations

import argparse
from typing import Any

from vesker.cli.arguments import Commands, add_json, add_store, command, open_heap, positive
from vesker.cli.output import emit_json
from vesker.formatting import format_bytes, format_table
from vesker.sites import group_rows
from vesker.store import UserError

_NO_SITES = ("the store's dump recorded no allocation sites: dump with "
             "`vesker dump --trace-allocations SCRIPT`, or run the program with PYTHONTRACEMALLOC=1")


def register(commands: Commands) -> None:
    sites = command(
        commands, "sites", cmd_sites, help="where the objects were allocated, with the memory each site keeps alive",
        description="For a store whose dump recorded allocation sites (vesker dump --trace-allocations): "
        "per source line that allocated objects, their count, their own size, the memory they keep alive "
        "counted once (an object inside another object of the same site adds nothing again), and the "
        "holders keeping most of it. Objects of unknown site are counted apart, never attributed.")
    add_store(sites)
    sites.add_argument("--by", choices=("retained", "size", "count"), default="retained",
                       help="order by (default: retained)")
    sites.add_argument("--group", choices=("file", "function"), help="sum the sites of each file or function")
    sites.add_argument("--limit", type=positive, default=25, help="rows to show (default: 25)")
    add_json(sites)


def render(report: dict[str, Any], rows: list[dict[str, Any]], labels: dict[int, str], grouped: bool) -> str:
    unknown = report["unknown"]
    out = [f"Allocation sites ({report['frames']} frame(s) recorded per allocation): {len(report['sites']):,} sites; "
           f"{unknown['count']:,} objects ({format_bytes(unknown['size'])}) of unknown site "
           "(made before tracing started, or outside Python's allocator)"]
    header = ("RETAINED", "SIZE", "COUNT", "SITES" if grouped else "ALLOCATED AT", "HELD BY")
    table = []
    for row in rows:
        held = ", ".join(f"{labels.get(h['id'], 'the roots' if h['id'] == 0 else hex(h['id']))} "
                         f"({format_bytes(h['retained'])})" for h in row.get("holders", [])[:3])
        where = f"{row['where']} ({row['sites']} sites)" if grouped else row["where"]
        table.append([format_bytes(row["retained"]), format_bytes(row["size"]), f"{row['count']:,}", where, held])
    out.append(format_table(header, table, {0, 1, 2}))
    return "\n".join(out)


def cmd_sites(args: argparse.Namespace) -> int:
    with open_heap(args.store) as heap:
        report = heap.site_report()
        if report is None:
            raise UserError(_NO_SITES)
        rows = group_rows(report["sites"], args.group)
        rows.sort(key=lambda row: (-row[args.by], row["where"]))
        rows = rows[: args.limit]
        labels = heap.labels(sorted({h["id"] for row in rows for h in row.get("holders", []) if h["id"]}))
    if args.json:
        emit_json({"frames": report["frames"], "unknown": report["unknown"], "sites": rows})
    else:
        print(render(report, rows, labels, args.group is not None))
    return 0
