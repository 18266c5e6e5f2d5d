"""Allocation sites for the view: where the store's objects were made, per site or summed per
file or function, and the site of one object.

They exist when the store's dump recorded sites; the per-site totals need the dominator tree,
computed once and kept until the store changes.
"""

from __future__ import annotations

from typing import Any

from vesker.server.queries import Json, StoreQueries, Window, cancellation, not_found, page
from vesker.sites import SiteTable, group_rows, load, site_report

GROUPS = ("site", "file", "function")
ORDERS = ("retained", "size", "count")


class Sites:
    def __init__(self, queries: StoreQueries) -> None:
        self.queries = queries
        self.table: SiteTable | None = queries.ask(lambda: load(queries.path, queries.analyses))

    def need_table(self) -> SiteTable:
        if self.table is None:
            raise not_found("the store's dump recorded no allocation sites: dump with "
                            "'vesker dump --trace-allocations SCRIPT', or run the program with PYTHONTRACEMALLOC=1")
        return self.table

    def of_object(self, object_id: int) -> Json | None:
        """Where one object was made; None when the dump recorded no sites."""
        if self.table is None:
            return None
        number = self.table.site_of(object_id)
        if number is None or number >= len(self.table.sites):
            return {"known": False, "where": None, "frames": []}
        return {"known": True, "where": self.table.describe(number), "frames": self.table.sites[number]}

    def _report(self) -> dict[str, Any]:
        table = self.need_table()
        return self.queries.cached(("sites",), lambda: self.queries.ask(
            lambda: site_report(self.queries.analyses, table, cancel=cancellation())))

    def listing(self, by: str, group: str, window: Window) -> Json:
        report = self._report()
        rows = group_rows(report["sites"], None if group == "site" else group)
        rows.sort(key=lambda row: (-row[by], row["where"]))
        shown = page(rows, window, lambda row: {
            "where": row["where"], "sites": row.get("sites", 1), "count": row["count"], "size": row["size"],
            "retained": row["retained"], "frames": row.get("frames") if group == "site" else None,
            "holders": [{"id": str(h["id"]), "retained": h["retained"]} for h in row["holders"][:3] if h["id"]],
        })
        holders = [holder for row in shown["rows"] for holder in row["holders"]]
        labelled = {row["id"]: row.get("label") for row in self.queries.labelled(
            [{"id": holder["id"], "value": None} for holder in holders])}
        for holder in holders:
            holder["label"] = labelled.get(holder["id"])
        return {"by": by, "group": group, "frames": report["frames"], "unknown": report["unknown"], **shown}
