"""`vesker sites STORE`: where the memory was allocated, with what each site keeps alive."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from vesker.retained_sizes import open_engine
from vesker.store import UserError
from vesker.formatting import format_bytes, format_table
from vesker.sites import group_rows, load, site_report

_NO_SITES = ("the store's dump recorded no allocation sites: dump with "
             "`vesker dump --trace-allocations SCRIPT`, or run the program with PYTHONTRACEMALLOC=1")


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
    store = open_engine(args.store)
    try:
        table = load(args.store, store)
        if table is None:
            raise UserError(_NO_SITES)
        report = site_report(store, table)
        rows = group_rows(report["sites"], args.group)
        rows.sort(key=lambda row: (-row[args.by], row["where"]))
        rows = rows[: args.limit]
        holder_ids = sorted({h["id"] for row in rows for h in row.get("holders", []) if h["id"]})
        labels = dict(zip(holder_ids, store.labels(holder_ids))) if holder_ids else {}
    finally:
        store.close()
    if args.json:
        json.dump({"frames": report["frames"], "unknown": report["unknown"], "sites": rows}, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print(render(report, rows, {k: v for k, v in labels.items() if v}, args.group is not None))
    return 0


def add_command(commands: Any, add_store: Any, add_json: Any, positive: Any) -> None:
    sites = commands.add_parser(
        "sites", help="where the objects were allocated, with the memory each site keeps alive",
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
    sites.set_defaults(handler=cmd_sites)
