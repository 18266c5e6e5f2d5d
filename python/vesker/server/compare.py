"""The per-type comparison of a store with a baseline: what grew, by count and by size.

Both stores keep their type summaries in memory (one row per type), so a comparison is a
merge of two small tables; it needs nothing from either heap beyond them.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vesker.server.queries import Json, StoreQueries, Window, bad_request, page


@dataclass(frozen=True)
class TypeChange:
    name: str
    old_count: int
    new_count: int
    old_size: int
    new_size: int


_KEYS: dict[str, Callable[[TypeChange], Any]] = {
    "size": lambda row: row.new_size - row.old_size,
    "count": lambda row: row.new_count - row.old_count,
    "new_size": lambda row: row.new_size,
    "name": lambda row: row.name,
}
SORTS = tuple(_KEYS)


class Comparison:
    def __init__(self, new: StoreQueries, old: StoreQueries) -> None:
        self.new = new
        self.old = old
        before = {row.name: row for row in old.types}
        after = {row.name: row for row in new.types}
        self.rows = []
        for name in sorted(before.keys() | after.keys()):
            a, b = before.get(name), after.get(name)
            self.rows.append(TypeChange(name, a.count if a else 0, b.count if b else 0,
                                        a.total_size if a else 0, b.total_size if b else 0))

    def summary(self) -> Json:
        return {
            "baseline": self.old.path,
            "objects": [self.old.object_count, self.new.object_count],
            "total_size": [self.old.total_size, self.new.total_size],
        }

    def types(self, sort: str, descending: bool, contains: str, window: Window) -> Json:
        if sort not in _KEYS:
            raise bad_request(f"cannot sort the comparison by {sort!r}; use one of {', '.join(_KEYS)}")
        needle = contains.casefold()
        rows = [row for row in self.rows if needle in row.name.casefold()] if needle else list(self.rows)
        rows.sort(key=_KEYS[sort], reverse=descending)
        return {"sort": sort, "descending": descending, "filter": contains, **self.summary(),
                **page(rows, window, _change_json)}


def _change_json(row: TypeChange) -> Json:
    return {"type": row.name, "count": [row.old_count, row.new_count],
            "total_size": [row.old_size, row.new_size]}
