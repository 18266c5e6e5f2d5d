"""The store's queries as the browser view asks them: windows of sorted lists, JSON-ready.

Every list is cut to a window on this side, so a page of the view never carries more than
`MAX_LIMIT` rows whatever the heap holds. Listings of a type come from the store's size
indexes a store page at a time; an object's references and referrers, a page at a time from the
engine, which reads only the ids and sort keys of the others.
Ids travel as decimal strings: addresses can exceed the integers a browser holds exactly.

Requests run side by side: each native call reads in a read transaction of its own with the
interpreter lock released, so nothing here serialises them. A call that can take long is given
the request's cancellation (`answering_for`), which stops it when the client has hung up.
"""

from __future__ import annotations

import contextvars
import os
import threading
from array import array
from collections import OrderedDict
from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

from vesker import engine
from vesker.dump_memory import memory_json, memory_sentence
from vesker.formatting import ESTIMATED
from vesker.labels import object_labels
from vesker.heap import Heap, rows_between
from vesker.store import ALL_TYPES, UserError
from vesker.store_facts import StoreFacts, read_facts

if TYPE_CHECKING:
    from vesker.engine import Store as AnalysisStore
    from vesker.engine import EdgePage, ObjectRow
    from vesker_analysis import HeapDumpExplorer, ObjectSummary

MAX_LIMIT = 500
LIST_VALUE_CHARS = 120
OBJECT_VALUE_CHARS = 20_000
TOP_ROWS = 10
_CACHED_LISTS = 128
_CACHED_RECORDS = 64
_CACHED_ORDERS = 8
# Longer edge lists are ordered once and paged from that order: each page of them alone would
# read every edge's record again.
_ORDERED_ONCE = 2 * MAX_LIMIT
_WAIT_STEP = 0.05  # seconds between looks at the cancellation while waiting for another request

T = TypeVar("T")
Json = dict[str, Any]


class QueryError(Exception):
    """A question the store cannot answer; `status` is the HTTP status that says why."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def not_found(message: str) -> QueryError:
    return QueryError(404, message)


def bad_request(message: str) -> QueryError:
    return QueryError(400, message)


@dataclass(frozen=True)
class Window:
    offset: int
    limit: int


def clipped_value(value: str | None, width: int) -> Json:
    if value is None:
        return {"value": None}
    if len(value) <= width:
        return {"value": value}
    return {"value": value[:width], "value_length": len(value)}


class Summarised(Protocol):
    """What a row shows of an object: a summary, a whole record, or an engine's row (which has
    only an id when the object has no record)."""

    @property
    def id(self) -> int: ...
    @property
    def type(self) -> str | None: ...
    @property
    def value(self) -> str | None: ...
    @property
    def size(self) -> int | None: ...
    @property
    def subtree_size(self) -> int | None: ...


def summary_row(summary: Summarised) -> Json:
    return {
        "id": str(summary.id),
        "type": summary.type,
        "size": summary.size,
        "subtree_size": summary.subtree_size,
        **clipped_value(summary.value, LIST_VALUE_CHARS),
    }


def page(rows: Sequence[T], window: Window, convert: Callable[[T], Json]) -> Json:
    chosen = rows[window.offset : window.offset + window.limit]
    return {
        "total": len(rows),
        "offset": window.offset,
        "limit": window.limit,
        "rows": [convert(row) for row in chosen],
    }


_cancellation: contextvars.ContextVar[engine.Cancellation | None] = contextvars.ContextVar(
    "request_cancellation", default=None)


def answering_for(cancel: engine.Cancellation | None) -> None:
    """Marks the calls made from here on in this context as work for a request that `cancel` stops."""
    _cancellation.set(cancel)


def cancellation() -> engine.Cancellation | None:
    return _cancellation.get()


def stop_if_cancelled() -> None:
    cancel = _cancellation.get()
    if cancel is not None and cancel.cancelled:
        raise engine.Cancelled("the request was cancelled")


class _Pending:
    """A result one request computes while others wait for it."""

    def __init__(self) -> None:
        self.done = threading.Event()
        self.failed = False
        self.value: Any = None


class _Cache:
    """The most recently used results, a bounded number of them. A page asks for one object's
    header and both its edge lists at once; the first request computes, the others wait for it
    instead of asking the store again, while requests for other keys go on meanwhile. When the
    computing request fails or its client hangs up, a waiting one computes in its place."""

    def __init__(self, capacity: int) -> None:
        self._capacity = capacity
        self._entries: OrderedDict[Hashable, _Pending] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable, compute: Callable[[], T]) -> T:
        while True:
            with self._lock:
                entry = self._entries.get(key)
                owner = entry is None
                if entry is None:
                    entry = self._entries[key] = _Pending()
                    if len(self._entries) > self._capacity:
                        self._entries.popitem(last=False)
                else:
                    self._entries.move_to_end(key)
            if owner:
                return self._compute(key, entry, compute)
            while not entry.done.wait(_WAIT_STEP):
                stop_if_cancelled()
            if not entry.failed:
                value: T = entry.value
                return value

    def _compute(self, key: Hashable, entry: _Pending, compute: Callable[[], T]) -> T:
        try:
            entry.value = compute()
            return entry.value  # type: ignore[no-any-return]
        except BaseException:
            entry.failed = True
            with self._lock:
                if self._entries.get(key) is entry:
                    del self._entries[key]
            raise
        finally:
            entry.done.set()

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()


# The orders the store pages edges in; rows without a record sort as the smallest.
_EDGE_ORDERS = ("size", "subtree", "id", "type")


def edge_row(row: ObjectRow) -> Json:
    shown = summary_row(row)
    if row.state != "present":
        shown["state"] = row.state
    return shown


@dataclass(frozen=True)
class TypeRow:
    name: str
    count: int
    total_size: int


@dataclass(frozen=True)
class _Contents:
    """What the view keeps of a store between requests, read again when the store changes."""

    generation: int
    facts: StoreFacts
    object_count: int
    total_size: int
    types: list[TypeRow]
    type_counts: dict[str, int]
    has_subtree_sizes: bool


def _data_file(path: str) -> tuple[int, int] | None:
    try:
        status = os.stat(os.path.join(path, "data.mdb"))
    except OSError:
        return None
    return status.st_dev, status.st_ino


class StoreQueries:
    """One store opened for the view, asked from many threads at once."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self._heap: Heap | None = Heap(path)
        except OSError as error:
            raise UserError(f"cannot open store {path!r}: {error}") from None
        self._data_file = _data_file(path)
        self._refreshing = threading.Lock()
        self._lists = _Cache(_CACHED_LISTS)
        self._records = _Cache(_CACHED_RECORDS)
        self._orders = _Cache(_CACHED_ORDERS)
        self._contents = self._read_contents()

    def _read_contents(self) -> _Contents:
        # The generation first: a write that lands while the rest is read shows as a change later.
        generation = self.analyses.generation()
        rows = self.explorer.get_type_summaries()
        total = next((s for name, s in rows if name == ALL_TYPES), None)
        object_count = 0 if total is None else total.count
        types = [TypeRow(name, s.count, s.total_size) for name, s in rows if name != ALL_TYPES]
        top = self.explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, True, 0)
        return _Contents(generation, read_facts(self.analyses), object_count,
                         0 if total is None else total.total_size, types,
                         {row.name: row.count for row in types}, bool(top) or object_count == 0)

    def refresh(self) -> bool:
        """Reads the store's contents again when another process wrote to it; True when it did."""
        if self.analyses.generation() == self._contents.generation:
            return False
        with self._refreshing:
            if self.analyses.generation() == self._contents.generation:
                return False
            contents = self.ask(self._read_contents)
            self._lists.clear()
            self._records.clear()
            self._orders.clear()
            self._contents = contents
            return True

    @property
    def generation(self) -> int:
        return self._contents.generation

    @property
    def replaced(self) -> bool:
        """Whether the store's data file was deleted or replaced since it was opened: this view
        goes on showing the file it opened."""
        return _data_file(self.path) != self._data_file

    @property
    def facts(self) -> StoreFacts:
        return self._contents.facts

    @property
    def object_count(self) -> int:
        return self._contents.object_count

    @property
    def total_size(self) -> int:
        return self._contents.total_size

    @property
    def types(self) -> list[TypeRow]:
        return self._contents.types

    @property
    def has_subtree_sizes(self) -> bool:
        return self._contents.has_subtree_sizes

    def cached(self, key: Hashable, compute: Callable[[], T]) -> T:
        """A list computed once while someone pages through it."""
        return self._lists.get(key, compute)

    @property
    def heap(self) -> Heap:
        if self._heap is None:
            raise QueryError(500, "the store is closed")
        return self._heap

    @property
    def analyses(self) -> AnalysisStore:
        return self.heap.engine

    @property
    def explorer(self) -> HeapDumpExplorer:
        return self.heap.explorer

    def close(self) -> None:
        if self._heap is not None:
            self._heap.close()
        self._heap = None

    def ask(self, query: Callable[[], T]) -> T:
        """The answer of a native call; a store failure becomes a server error."""
        stop_if_cancelled()
        try:
            return query()
        except RuntimeError as error:
            raise QueryError(500, f"the store could not answer: {error}") from None

    # -- overview and types ---------------------------------------------------

    def overview(self) -> Json:
        by_size = sorted(self.types, key=lambda row: (-row.total_size, row.name))
        top = self.type_objects(ALL_TYPES, "subtree" if self.has_subtree_sizes else "size",
                                descending=True, window=Window(0, TOP_ROWS))
        return {
            "store": self.path,
            "objects": self.object_count,
            "total_size": self.total_size,
            "type_count": len(self.types),
            "precision": self.facts.precision,
            "estimated": self.facts.precision in ESTIMATED,
            "repeated_ids": self.facts.repeated_ids,
            "dangling_references": self.facts.dangling_references,
            "memory": memory_json(self.total_size, self.facts.memory),
            "memory_note": None if self.facts.memory is None else memory_sentence(self.total_size, self.facts.memory),
            "has_subtree_sizes": self.has_subtree_sizes,
            "top_objects": top["rows"],
            "top_order": top["by"],
            "largest_types": [_type_json(row) for row in by_size[:TOP_ROWS]],
        }

    def type_list(self, sort: str, descending: bool, contains: str, window: Window,
                  retained: dict[str, int] | None = None) -> Json:
        """Types, with the retained size of each type's objects counted once when known."""
        keys: dict[str, Callable[[TypeRow], Any]] = {
            "size": lambda row: row.total_size,
            "count": lambda row: row.count,
            "name": lambda row: row.name,
        }
        if retained is not None:
            keys["retained"] = lambda row: retained.get(row.name, 0)
        if sort not in keys:
            raise bad_request(f"cannot sort types by {sort!r}; use one of {', '.join(keys)}")
        needle = contains.casefold()
        rows = [row for row in self.types if needle in row.name.casefold()] if needle else self.types
        # Ties keep name order whichever way the sort goes, so pages never swap rows.
        rows = sorted(rows, key=lambda row: row.name)
        rows.sort(key=keys[sort], reverse=descending)
        def shown(row: TypeRow) -> Json:
            if retained is None:
                return _type_json(row)
            return {**_type_json(row), "retained": retained.get(row.name, 0)}

        return {"sort": sort, "descending": descending, "filter": contains, **page(rows, window, shown)}

    def type_count(self, typename: str) -> int:
        contents = self._contents
        count = contents.object_count if typename == ALL_TYPES else contents.type_counts.get(typename)
        if count is None:
            raise not_found(f"no objects of type {typename!r} in the store")
        return count

    def type_objects(self, typename: str, by: str, descending: bool, window: Window) -> Json:
        """A type's objects (or all objects) by direct size, subtree size or id."""
        total = self.type_count(typename)
        if by not in ("size", "subtree", "id"):
            raise bad_request(f"cannot order objects by {by!r}; use size, subtree or id")
        if by == "subtree" and not self.has_subtree_sizes:
            raise bad_request("the store has no subtree sizes (it was imported with --precision none)")
        if by == "id":
            def fetch(number: int) -> list[ObjectSummary]:
                return self.explorer.get_objects_by_type(typename, number)
        else:
            subtree = by == "subtree"

            def fetch(number: int) -> list[ObjectSummary]:
                return self.explorer.get_objects_by_type_ordered_by_size(typename, subtree, number)

        # The indexes hold one order; the other is the same rows read from the far end.
        if descending == (by != "id"):
            start, stop, backwards = window.offset, window.offset + window.limit, False
        else:
            stop = max(total - window.offset, 0)
            start, backwards = max(stop - window.limit, 0), True
        rows = self.ask(lambda: rows_between(fetch, start, min(stop, total)))
        if backwards:
            rows.reverse()
        return {"type": typename, "by": by, "descending": descending, "total": total,
                "offset": window.offset, "limit": window.limit,
                "rows": self.labelled([summary_row(row) for row in rows])}

    # -- one object ------------------------------------------------------------

    def _edge_page(self, object_id: int, direction: str, sort: str, descending: bool, type_filter: str,
                   window: Window) -> EdgePage:
        found = self.ask(lambda: self.analyses.edge_page(object_id, direction, sort, descending, type_filter,
                                                         window.offset, window.limit, cancel=cancellation()))
        if found is None:
            raise not_found(f"no object with id {object_id} in the store")
        return found

    def record(self, object_id: int) -> EdgePage:
        """An object with the number of its edges; the view asks for one object several times in a row."""
        return self._records.get(
            object_id, lambda: self._edge_page(object_id, "references", "id", False, "", Window(0, 0)))

    def object(self, object_id: int) -> Json:
        found = self.record(object_id)
        summary = found.object
        return {
            "id": str(summary.id),
            "type": summary.type,
            "size": summary.size,
            "subtree_size": summary.subtree_size,
            **clipped_value(summary.value, OBJECT_VALUE_CHARS),
            "reference_count": found.reference_count,
            "referrer_count": found.referrer_count,
        }

    def edges(self, object_id: int, direction: str, sort: str, descending: bool,
              type_filter: str, window: Window) -> Json:
        """References or referrers of an object, sorted and filtered by type, one window. Ties keep
        id order, so that pages of one order never swap rows."""
        if direction not in ("references", "referrers"):
            raise not_found(f"objects have references and referrers, not {direction!r}")
        if sort not in _EDGE_ORDERS:
            raise bad_request(f"cannot sort by {sort!r}; use one of {', '.join(_EDGE_ORDERS)}")
        found = self.record(object_id)
        edges = found.reference_count if direction == "references" else found.referrer_count
        if edges <= _ORDERED_ONCE:
            found = self._lists.get(
                (object_id, direction, sort, descending, type_filter, window),
                lambda: self._edge_page(object_id, direction, sort, descending, type_filter, window))
            total, rows = found.total, found.rows
        else:
            order = self._orders.get((object_id, direction, sort, descending, type_filter),
                                     lambda: self._edge_order(object_id, direction, sort, descending, type_filter))
            total = len(order)
            chosen = order[window.offset : window.offset + window.limit].tolist()
            rows = self.ask(lambda: self.analyses.edge_rows(object_id, direction, chosen))
        return {"id": str(object_id), "direction": direction, "sort": sort, "descending": descending,
                "type": type_filter, "total": total, "offset": window.offset, "limit": window.limit,
                "rows": self._named(rows, self.ask(
                    lambda: self.analyses.edge_names(object_id, direction, [row.id for row in rows])))}

    def labelled(self, rows: list[Json]) -> list[Json]:
        """Rows of objects without a value, with what each is where a referrer names it."""
        wanted = [int(row["id"]) for row in rows
                  if row.get("id") is not None and row.get("value") is None and not row.get("state")]
        if not wanted:
            return rows
        labels = dict(zip(wanted, self.ask(lambda: self.analyses.labels(wanted))))
        for row in rows:
            label = labels.get(int(row["id"])) if row.get("id") is not None else None
            if label:
                row["label"] = label
        return rows

    def _named(self, rows: list[ObjectRow], names: list[str | None]) -> list[Json]:
        """Rows with the names of their edges and, for objects without a value, what they are."""
        labels = self.ask(lambda: object_labels(self.analyses, rows))
        return [dict(edge_row(row), name=name, label=labels.get(row.id)) for row, name in zip(rows, names)]

    def _edge_order(self, object_id: int, direction: str, sort: str, descending: bool, type_filter: str) -> array[int]:
        found = self.ask(lambda: self.analyses.edge_order(object_id, direction, sort, descending, type_filter,
                                                          cancel=cancellation()))
        if found is None:
            raise not_found(f"no object with id {object_id} in the store")
        return array("Q", found)

    # -- searches ----------------------------------------------------------------

    def find_path(self, start: int, end: int, avoid: frozenset[int], window: Window) -> Json:
        for object_id in (start, end, *sorted(avoid)):
            self.record(object_id)

        def compute() -> list[ObjectRow] | None:
            path: list[ObjectRow] | None = self.ask(
                lambda: self.analyses.find_path_tolerant(start, end, avoid, cancel=cancellation()))
            return path

        found = self._lists.get(("path", start, end, avoid), compute)
        if found is None:
            return {"found": False, "total": 0, "offset": window.offset, "limit": window.limit,
                    "rows": []}
        chosen = found[window.offset : window.offset + window.limit]
        # Each step names the reference from the step before it, also across pages.
        before: int | None = found[window.offset - 1].id if 0 < window.offset <= len(found) else None
        names: list[str | None] = []
        for row in chosen:
            names.append(None if before is None else self._edge_name(before, row.id))
            before = row.id
        return {"found": True, "total": len(found), "offset": window.offset, "limit": window.limit,
                "rows": self._named(chosen, names)}

    def _edge_name(self, source: int, target: int) -> str | None:
        return self.ask(lambda: self.analyses.edge_names(source, "references", [target])[0])

    def find_common(self, first: int, second: int) -> Json:
        self.record(first)
        self.record(second)
        found = self.ask(lambda: self.analyses.find_common_tolerant(first, second, cancel=cancellation()))
        if found is None:
            return {"found": False, "object": None}
        return {"found": True, "object": self._named([self.record(found).object], [None])[0]}


def _type_json(row: TypeRow) -> Json:
    return {"type": row.name, "count": row.count, "total_size": row.total_size}
