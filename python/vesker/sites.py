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

from vesker.plain import plain

if TYPE_CHECKING:
    from vesker.engine import Cancellation, Store

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
    """Takes each record's site as the lines go by to the import.

    Imported into a store that has sites already (`--append`), the dump's site numbers are
    mapped into the store's table (equal frames share one number), and an object that the dump
    records again takes the dump's site, or none when the dump's record has none: the import
    keeps the last record of each id."""

    def __init__(self, frames: int, earlier: SiteTable | None = None) -> None:
        self.frames = frames
        self.earlier = earlier
        self.ids = array("Q")
        self.sites = array("I")
        self.table: dict[int, list[list[Any]]] = {}
        self.recorded_again = array("Q")  # ids of the dump without a site, when appending

    def watch(self, lines: Iterator[bytes]) -> Iterator[bytes]:
        appending = self.earlier is not None and len(self.earlier.ids) > 0
        for line in lines:
            if line.find(b'"site":') >= 0:  # not `in`: see ReferenceNames.watch
                self._take(line)
            elif appending:
                found = _ID.match(line)
                if found is not None:
                    self.recorded_again.append(int(found.group(1)))
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

    def _merged(self) -> tuple[int, list[list[list[Any]]], dict[int, int]]:
        """The frames, the table and each id's site: the store's earlier ones, then the dump's."""
        count = max(self.table, default=-1) + 1
        dump_table = [self.table.get(n, []) for n in range(count)]
        if self.earlier is None:
            return self.frames, dump_table, dict(zip(self.ids, self.sites))
        table = list(self.earlier.sites)
        numbers = {json.dumps(frames): n for n, frames in enumerate(table)}
        renumbered = []
        for frames in dump_table:
            renumbered.append(numbers.setdefault(json.dumps(frames), len(table)))
            if renumbered[-1] == len(table):
                table.append(frames)
        site_of = dict(zip(self.earlier.ids, self.earlier.numbers))
        for object_id in self.recorded_again:
            site_of.pop(object_id, None)
        site_of.update((object_id, renumbered[n]) for object_id, n in zip(self.ids, self.sites))
        return max(self.frames, self.earlier.frames), table, site_of

    def save(self, store_path: str, store: Store) -> None:
        frames, table, site_of = self._merged()
        order = sorted(site_of)
        ids = array("Q", order)
        sites = array("I", (site_of[i] for i in order))
        temporary = os.path.join(store_path, OBJECTS_FILE + ".partial")
        with open(temporary, "wb") as out:
            ids.tofile(out)
            sites.tofile(out)
        os.replace(temporary, os.path.join(store_path, OBJECTS_FILE))
        store.set_metadata(METADATA_KEY, json.dumps({"frames": frames, "sites": table}))


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


def site_report(store: Store, table: SiteTable, holders: int = 5, cancel: Cancellation | None = None) -> dict[str, Any]:
    """Per site: where, count, size, retained (counted once) and holders; plus the unknown."""
    found = store.site_totals(table.ids.tobytes(), table.numbers.tobytes(), len(table.sites), holders, cancel=cancel)
    rows = []
    for number, totals in enumerate(found.sites):
        frames = table.sites[number]
        if not totals.count:
            continue
        rows.append({
            "site": number,
            "file": frames[0][0] if frames else None,
            "line": frames[0][1] if frames else None,
            "frames": frames,
            "count": totals.count,
            "size": totals.size,
            "retained": totals.retained,
            "holders": [{"id": holder, "retained": retained} for holder, retained in totals.holders],
        })
    return {"frames": table.frames, "sites": rows, "unknown": plain(found.unknown), "seconds": plain(found.seconds)}


def _function_of(frames: list[list[Any]]) -> str:
    if frames and len(frames[0]) > 2 and frames[0][2]:
        return f"{short_file(frames[0][0])} in {frames[0][2]}"
    return describe_frames(frames)


def group_rows(rows: list[dict[str, Any]], group: str | None) -> list[dict[str, Any]]:
    """The sites' rows, each with `where` it is; with a group, summed per file or function."""
    if group is None:
        return [{**row, "where": describe_frames(row["frames"])} for row in rows]
    groups: dict[str, dict[str, Any]] = {}
    for row in rows:
        key = short_file(row["file"]) if group == "file" else _function_of(row["frames"])
        into = groups.setdefault(key, {"where": key, "sites": 0, "count": 0, "size": 0, "retained": 0,
                                       "holders": []})
        into["sites"] += 1
        for field in ("count", "size"):
            into[field] += row[field]
        # Sites of one group may share memory: their retained sizes can overlap, so this adds up
        # to at most what the group keeps alive counted twice where two of its sites hold the same.
        into["retained"] += row["retained"]
    return list(groups.values())
