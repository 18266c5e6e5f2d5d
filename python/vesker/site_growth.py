"""New objects and growth by allocation site: what `diff` and `growth` add where the later dump
recorded sites ("+5,000 x Report, +9.5 MiB, made at report.py:88 in build, held by ...")."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from vesker.sites import SiteTable, load

if TYPE_CHECKING:
    from vesker.engine import Comparison, Store


def diff_arguments(store_path: str, store: Store) -> tuple[SiteTable | None, dict[str, bytes]]:
    """The store's sites and the keyword arguments that hand them to the engine's diff."""
    table = load(store_path, store)
    if table is None:
        return None, {}
    return table, {"site_ids": table.ids.tobytes(), "sites": table.numbers.tobytes()}


def where(table: SiteTable | None, number: int | None) -> str | None:
    """"report.py:88 in build" for a site number of the table, None when unknown."""
    if table is None or number is None or number >= len(table.sites):
        return None
    return table.describe(number)


def annotate(result: Comparison, table: SiteTable | None) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The held groups and the per-site rows, each saying where its objects were made."""
    held = [{**group, "allocated_at": where(table, group["site"])} for group in result["held"]]
    sites = []
    for row in result["added_sites"]:
        place = where(table, row["site"])
        frames = table.sites[row["site"]] if table is not None and place is not None and row["site"] is not None else None
        sites.append({**row, "allocated_at": place, "frames": frames})
    return held, sites


def made_at(group: Any) -> str:
    """", made at report.py:88 in build" for a held group of a known site, else nothing."""
    place = group.get("allocated_at")
    return f", made at {place}" if place else ""
