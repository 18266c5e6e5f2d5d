"""Allocation sites: read from a dump's records as the import passes them, kept beside the
store, and totalled per site by the engine (count, size, retained size counted once, holders).

The table of sites (frames of each, and how many frames the dump recorded) is the store's
metadata entry "allocation_sites"; which object came from which site is the file
`allocation-sites.bin` in the store directory: the ids (native 8-byte, ascending) followed by
their site numbers (native 4-byte).
"""

from __future__ import annotations

import json
import os
import re
from array import array
from bisect import bisect_left
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vesker.engine import Store

METADATA_KEY = "allocation_sites"
OBJECTS_FILE = "allocation-sites.bin"

_ID = re.compile(rb'\{"id":(\d+),')
_SITE = re.compile(rb',"site":(\d+)(?:,"site_frames":(\[.*\]))?\}\s*$')


def dump_allocation_frames(dump_path: str) -> int | None:
    """The frames per allocation the dump's sidecar states, or None: taken without tracing."""
    try:
        with open(dump_path + ".meta.json", encoding="utf-8") as sidecar:
            facts = json.load(sidecar)
        frames = facts["dump"]["allocation_frames"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return frames if isinstance(frames, int) else None


class SiteCollector:
    """Takes each record's site as the lines go by to the import."""

    def __init__(self, frames: int) -> None:
        self.frames = frames
        self.ids = array("Q")
        self.sites = array("I")
        self.table: dict[int, list[list[Any]]] = {}

    def watch(self, lines: Iterator[bytes]) -> Iterator[bytes]:
        for line in lines:
            if b'"site":' in line:
                self._take(line)
            yield line

    def _take(self, line: bytes) -> None:
        site = _SITE.search(line)
        found = _ID.match(line)
        if site is None or found is None:
            return
        number = int(site.group(1))
        if site.group(2) is not None:
            self.table[number] = json.loads(site.group(2))
        self.ids.append(int(found.group(1)))
        self.sites.append(number)

    def save(self, store_path: str, store: Store) -> None:
        order = sorted(range(len(self.ids)), key=self.ids.__getitem__)
        ids = array("Q", (self.ids[i] for i in order))
        sites = array("I", (self.sites[i] for i in order))
        count = max(self.table, default=-1) + 1
        table = [self.table.get(n, []) for n in range(count)]
        temporary = os.path.join(store_path, OBJECTS_FILE + ".partial")
        with open(temporary, "wb") as out:
            ids.tofile(out)
            sites.tofile(out)
        os.replace(temporary, os.path.join(store_path, OBJECTS_FILE))
        store.set_metadata(METADATA_KEY, json.dumps({"frames": self.frames, "sites": table}))


class SiteTable:
    """A store's sites: the table and which object came from where."""

    def __init__(self, frames: int, sites: list[list[list[Any]]], ids: array[int], numbers: array[int]) -> None:
        self.frames = frames
        self.sites = sites
        self.ids = ids
        self.numbers = numbers

    def site_of(self, object_id: int) -> int | None:
        at = bisect_left(self.ids, object_id)
        return self.numbers[at] if at < len(self.ids) and self.ids[at] == object_id else None

    def describe(self, number: int) -> str:
        return describe_frames(self.sites[number])


def describe_frames(frames: list[list[Any]]) -> str:
    """"app/cache.py:41 in Cache.put" for the allocation's own line."""
    if not frames:
        return "an unknown place"
    file, line = frames[0][0], frames[0][1]
    function = frames[0][2] if len(frames[0]) > 2 and frames[0][2] else None
    return f"{short_file(file)}:{line}" + (f" in {function}" if function else "")


def allocation_text(store_path: str, store: Store, object_id: int) -> str | None:
    """"allocated at app/cache.py:41 in Cache.put", or that the site is unknown; None when the
    store's dump recorded no sites."""
    table = load(store_path, store)
    if table is None:
        return None
    number = table.site_of(object_id)
    if number is None or number >= len(table.sites):
        return "allocation site unknown (made before tracing started, or outside Python's allocator)"
    return "allocated at " + table.describe(number)


def short_file(path: str) -> str:
    """A path relative to the working directory when inside it, else as recorded."""
    try:
        relative = os.path.relpath(path)
    except ValueError:
        return path
    return path if relative.startswith("..") else relative


def load(store_path: str, store: Store) -> SiteTable | None:
    """The store's sites, or None when its dump recorded none."""
    text = store.metadata().get(METADATA_KEY)
    if text is None:
        return None
    facts = json.loads(text)
    ids, numbers = array("Q"), array("I")
    path = os.path.join(store_path, OBJECTS_FILE)
    size = os.path.getsize(path)
    count = size // 12
    with open(path, "rb") as source:
        ids.fromfile(source, count)
        numbers.fromfile(source, count)
    return SiteTable(int(facts["frames"]), facts["sites"], ids, numbers)


def site_report(store: Store, table: SiteTable, holders: int = 5) -> dict[str, Any]:
    """Per site: where, count, size, retained (counted once) and holders; plus the unknown."""
    found = store.site_totals(table.ids.tobytes(), table.numbers.tobytes(), len(table.sites), holders)
    rows = []
    for number, totals in enumerate(found["sites"]):
        frames = table.sites[number]
        if not totals["count"]:
            continue
        rows.append({
            "site": number,
            "file": frames[0][0] if frames else None,
            "line": frames[0][1] if frames else None,
            "frames": frames,
            "count": totals["count"],
            "size": totals["size"],
            "retained": totals["retained"],
            "holders": [{"id": holder, "retained": retained} for holder, retained in totals["holders"]],
        })
    return {"frames": table.frames, "sites": rows, "unknown": found["unknown"], "seconds": found["seconds"]}
