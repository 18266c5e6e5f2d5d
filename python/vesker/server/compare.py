"""The comparison of a store with a baseline: what grew per type, and, when both dumps come
from one process, the new objects grouped by what already held them.

The engine compares the two stores in one merge pass; its answer has one row per type and
one per holding group, so it is computed once, on the first request, and paged from then on.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vesker.dump_identity import same_process
from vesker.labels import object_labels
from vesker.server.queries import Json, StoreQueries, Window, bad_request, page

if TYPE_CHECKING:
    from vesker.engine import Comparison as EngineComparison
    from vesker.engine import HeldGroup, Totals, TypeChange


def _change(row: TypeChange, key: str) -> int:
    old, new = row["old"][key], row["new"][key]  # type: ignore[literal-required]
    return (new or 0) - (old or 0)


_KEYS: dict[str, Callable[[TypeChange], Any]] = {
    "size": lambda row: _change(row, "size"),
    "count": lambda row: _change(row, "count"),
    "retained": lambda row: _change(row, "retained"),
    "new_size": lambda row: row["new"]["size"],
    "added": lambda row: 0 if row["added"] is None else row["added"]["size"],
    "name": lambda row: row["type"],
}
SORTS = tuple(_KEYS)


def _pair(row: TypeChange, key: str) -> list[Any]:
    return [row["old"][key], row["new"][key]]  # type: ignore[literal-required]


def _totals(totals: Totals | None) -> Json | None:
    return None if totals is None else {"count": totals["count"], "size": totals["size"]}


def _change_json(row: TypeChange) -> Json:
    return {"type": row["type"], "count": _pair(row, "count"), "total_size": _pair(row, "size"),
            "retained": _pair(row, "retained"), "added": _totals(row["added"]),
            "removed": _totals(row["removed"])}


def _held_json(group: HeldGroup) -> Json:
    return {**group, "largest_holder": str(group["largest_holder"])}


class Comparison:
    def __init__(self, new: StoreQueries, old: StoreQueries) -> None:
        self.new = new
        self.old = old
        self._lock = threading.Lock()
        self._result: EngineComparison | None = None

    def result(self) -> EngineComparison:
        from vesker.engine import diff

        with self._lock:
            if self._result is None:
                one = same_process(self.old.analyses.metadata(), self.new.analyses.metadata())
                self._result = self.new.ask(
                    lambda: diff(self.old.analyses, self.new.analyses, same_process=bool(one)))
            return self._result

    def summary(self) -> Json:
        return {
            "baseline": self.old.path,
            "objects": [self.old.object_count, self.new.object_count],
            "total_size": [self.old.total_size, self.new.total_size],
        }

    def types(self, sort: str, descending: bool, contains: str, window: Window) -> Json:
        if sort not in _KEYS:
            raise bad_request(f"cannot sort the comparison by {sort!r}; use one of {', '.join(_KEYS)}")
        result = self.result()
        if sort == "added" and not result["same_process"]:
            raise bad_request("new objects are only known when both dumps come from one process")
        needle = contains.casefold()
        rows = [row for row in result["types"] if needle in row["type"].casefold()]
        rows.sort(key=lambda row: row["type"])  # ties keep name order either way
        rows.sort(key=_KEYS[sort], reverse=descending)
        return {"sort": sort, "descending": descending, "filter": contains, **self.summary(),
                "same_process": result["same_process"], "retained": result["retained"],
                # Retained sizes of different types overlap: their sum is no total of anything.
                "totals": {**_change_json(result["total"]), "retained": None}, **page(rows, window, _change_json)}

    def held(self, window: Window) -> Json:
        result = self.result()
        chosen = result["held"][window.offset : window.offset + window.limit]
        holders = [{"id": group["largest_holder"], "value": None} for group in chosen
                   if group["holder_type"] is not None]
        labels = self.new.ask(lambda: object_labels(self.new.analyses, holders))
        return {"same_process": result["same_process"], "retained": result["retained"],
                "total": len(result["held"]), "offset": window.offset, "limit": window.limit,
                "rows": [dict(_held_json(group), largest_holder_label=labels.get(group["largest_holder"]))
                         for group in chosen]}
