"""The Python API: `vesker.open(path)` gives a `Heap`, whose methods answer the questions the
`vesker` command and the browser view answer, as typed results (see `vesker.results`).

    heap = vesker.open("store/")
    heap.suspects()            # what holds most of the heap, and how a root reaches it
    heap.top()[:10]            # the largest objects by retained size
    heap.why(heap.top()[0].id)

A heap holds the store open (one environment per store and process, shared by its two native
views) until `close()` or the end of a `with` block.
"""

from __future__ import annotations

import dataclasses
import gc
import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

from vesker.dump_identity import same_process
from vesker.labels import chain_of, object_labels
from vesker.results import (
    Changes,
    ContainerRow,
    Diff,
    DuplicateRow,
    Growth,
    GrowthRow,
    HeldRow,
    Holder,
    Neighbours,
    ObjectRow,
    ObjectView,
    Overview,
    RetainerRow,
    SiteRow,
    SuspectRow,
    Table,
    TreeRow,
    TypeChangeRow,
    TypeRow,
    Waste,
    Why,
)
from vesker.retained_sizes import reference_chain, row_label
from vesker.store import ALL_TYPES, UserError, open_store
from vesker.store_facts import StoreFacts, engine_store, read_facts

if TYPE_CHECKING:
    from vesker.compared_sizes import StoreSide
    from vesker.engine import ObjectRow as EngineRow
    from vesker.engine import RetainedRow, Store, TolerantObject
    from vesker.sites import SiteTable
    from vesker.suspects import Suspects
    from vesker_analysis import HeapDumpExplorer, ObjectSummary

_STORE_PAGE = 1000
TypeOrder = Literal["retained", "size", "count", "name"]
ObjectOrder = Literal["retained", "subtree", "size"]
EdgeOrder = Literal["subtree", "size", "id", "type"]
Direction = Literal["references", "referrers"]


def open(path: str | os.PathLike[str]) -> Heap:  # noqa: A001 - `vesker.open`, as `io.open`
    """The store at `path` (written by `vesker import`), opened for questions."""
    return Heap(os.fspath(path))


@dataclass(frozen=True)
class Totals:
    objects: int
    total_size: int


class Path(Table[ObjectRow]):
    """A shortest chain of references; empty (and not `found`) when there is none."""

    def __init__(self, title: str, rows: list[ObjectRow] | None) -> None:
        found = rows or []
        super().__init__(title, ObjectRow, len(found), lambda offset, limit: found[offset : offset + limit])
        self.found = rows is not None
        self.chain = chain_of(found)


class Heap:
    """A store opened for questions; see the module's documentation."""

    def __init__(self, path: str) -> None:
        self.store_path = path  # the directory; `path()` is the question
        self._explorer: HeapDumpExplorer | None = open_store(path)
        self._engine: Store | None = engine_store(path)

    # -- the store ----------------------------------------------------------------------------

    @property
    def explorer(self) -> HeapDumpExplorer:
        if self._explorer is None:
            raise UserError(f"the heap {self.store_path!r} is closed")
        return self._explorer

    @property
    def engine(self) -> Store:
        if self._engine is None:
            raise UserError(f"the heap {self.store_path!r} is closed")
        return self._engine

    def close(self) -> None:
        if self._engine is not None:
            self._engine.close()
        self._engine = None
        self._explorer = None
        gc.collect()  # the explorer's environment closes when its last reference goes

    def __enter__(self) -> Heap:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<vesker.Heap {self.store_path!r}{'' if self._engine is not None else ' (closed)'}>"

    def _repr_html_(self) -> str:
        return self.overview()._repr_html_()

    @property
    def facts(self) -> StoreFacts:
        """How the store was built (precision) and what its dumps lacked."""
        return read_facts(self.engine)

    @property
    def retained_fresh(self) -> bool:
        """Whether the store's retained sizes are computed and up to date."""
        return self.engine.retained_state() == "fresh"

    def require_retained(self) -> None:
        """Raises UserError, saying how to compute them, unless retained sizes are up to date."""
        state = self.engine.retained_state()
        if state != "fresh":
            why = ("has no retained sizes" if state == "missing"
                   else "changed since its retained sizes were computed")
            raise UserError(f"store {self.store_path!r} {why}; compute them with 'vesker retained {self.store_path}'")

    def totals(self) -> Totals | None:
        """Objects and their total size, or None when the store has no type summaries."""
        total = next((s for name, s in self.explorer.get_type_summaries() if name == ALL_TYPES), None)
        return None if total is None else Totals(total.count, total.total_size)

    def type_count(self, type: str = ALL_TYPES) -> int:
        """How many objects of `type` (or of all types) the store holds."""
        return self.explorer.get_count_for_type(type)

    def _labels(self, rows: Iterable[Any]) -> dict[int, str]:
        return object_labels(self.engine, rows)

    def _retained_of(self, ids: Iterable[int]) -> dict[int, int] | None:
        if not self.retained_fresh:
            return None
        found = {object_id: self.engine.retained(object_id) for object_id in set(ids)}
        return {object_id: row.retained for object_id, row in found.items()
                if row is not None and row.retained is not None}

    # -- listings -----------------------------------------------------------------------------

    def type_retained(self) -> dict[str, int] | None:
        """Retained size counted once per type, or None without up-to-date retained sizes."""
        return self.engine.type_retained() if self.retained_fresh else None

    def types(self, sort: TypeOrder | None = None) -> Table[TypeRow]:
        """Every type with its count, total size and retained size; by retained size when the
        store has up-to-date ones, else by total size."""
        retained = self.type_retained()
        order = sort or ("retained" if retained is not None else "size")
        if order == "retained" and retained is None:
            self.require_retained()
        rows = [TypeRow(name, s.count, s.total_size, None if retained is None else retained.get(name, 0))
                for name, s in self.explorer.get_type_summaries() if name != ALL_TYPES]
        keys: dict[str, Callable[[TypeRow], Any]] = {
            "retained": lambda row: (-(row.retained or 0), -row.total_size, row.type),
            "count": lambda row: (-row.count, row.type),
            "name": lambda row: row.type,
            "size": lambda row: (-row.total_size, row.type),
        }
        rows.sort(key=keys[order])
        return Table.of(f"types by {order}", TypeRow, rows)

    def top(self, type: str = ALL_TYPES, by: ObjectOrder | None = None) -> Table[ObjectRow]:
        """The objects of a type (or of all types), largest first: by retained size when the
        store has up-to-date ones, else by subtree size."""
        total = self.type_count(type)
        if total == 0 and type != ALL_TYPES:
            raise UserError(f"no objects of type {type!r} in the store")
        order = by or ("retained" if self.retained_fresh else "subtree")
        what = "all types" if type == ALL_TYPES else type
        if order == "retained":
            self.require_retained()

            def by_retained(offset: int, limit: int) -> list[ObjectRow]:
                found = self.engine.top_retained(type, offset, limit)
                labels = self._labels(found)
                return [ObjectRow(r.id, r.type, r.value, r.size, None, r.retained,
                                  labels.get(r.id), unreachable=r.unreachable) for r in found]

            return Table(f"objects of {what} by retained size", ObjectRow, total, by_retained)
        subtree = order == "subtree"

        def by_size(offset: int, limit: int) -> list[ObjectRow]:
            found = rows_between(
                lambda page: self.explorer.get_objects_by_type_ordered_by_size(type, subtree, page),
                offset, offset + limit)
            labels = self._labels(found)
            return [ObjectRow(s.id, s.type, s.value, s.size, s.subtree_size, None, labels.get(s.id))
                    for s in found]

        return Table(f"objects of {what} by {'subtree size' if subtree else 'size'}", ObjectRow, total, by_size)

    # -- one object ---------------------------------------------------------------------------

    def show(self, id: int, sort: EdgeOrder = "subtree", type: str | None = None) -> ObjectView:
        """One object with its references and referrers, largest first (or by size, id, type),
        only those of `type` when given."""
        first = self.engine.edge_page(id, "references", "id", False, "", 0, 0)
        if first is None:
            raise UserError(f"no object with id {id} in the store")
        retained = self._retained_of([id])
        found = first.object
        labels = self._labels([found])
        from vesker.sites import allocation_text

        return ObjectView(
            ObjectRow(id, found.type, found.value, found.size, found.subtree_size,
                      None if retained is None else retained.get(id), labels.get(id)),
            allocation_text(self.store_path, self.engine, id),
            self._edges(id, "references", sort, type or ""),
            self._edges(id, "referrers", sort, type or ""),
        )

    def neighbours(self, id: int) -> Neighbours:
        """One object with all its references and referrers, in the store's order and with
        their retained sizes when the store's are up to date; `named` adds names and labels to
        the ones shown."""
        found = self.engine.get_object_tolerant(id)
        if found is None:
            raise UserError(f"no object with id {id} in the store")
        retained = self._retained_of([id, *(r.id for r in (*found.references, *found.referrers))])

        def rows(entries: Sequence[EngineRow | TolerantObject]) -> list[ObjectRow]:
            return [ObjectRow(r.id, r.type, r.value, r.size, r.subtree_size,
                              None if retained is None else retained.get(r.id), state=r.state) for r in entries]

        from vesker.sites import allocation_text

        return Neighbours(rows([found])[0], allocation_text(self.store_path, self.engine, id),
                          rows(found.references), rows(found.referrers), retained is not None)

    def named(self, id: int, direction: Direction, rows: Sequence[ObjectRow]) -> list[ObjectRow]:
        """Rows of `id`'s references or referrers with the name of each edge as the dump gives
        it (`.items`; for a referrer, the name it holds `id` by) and each object's label."""
        names = self.engine.edge_names(id, direction, [row.id for row in rows])
        labels = self._labels(rows)
        return [dataclasses.replace(row, name=name, label=labels.get(row.id)) for row, name in zip(rows, names)]

    def labels(self, ids: Sequence[int]) -> dict[int, str]:
        """What each object is, for those the store can name (see `label`)."""
        return {i: label for i, label in zip(ids, self.engine.labels(ids)) if label} if ids else {}

    def label(self, row: ObjectRow) -> str | None:
        """What an object without a value is: `__main__.cache` for a module's attribute."""
        return self._labels([row]).get(row.id)

    def _edges(self, id: int, direction: str, sort: str, type: str) -> Table[ObjectRow]:
        counted = self.engine.edge_page(id, direction, sort, True, type, 0, 0)
        total = 0 if counted is None else counted.total

        def fetch(offset: int, limit: int) -> list[ObjectRow]:
            page = self.engine.edge_page(id, direction, sort, True, type, offset, limit)
            rows = [] if page is None else page.rows
            return self._object_rows(rows, self.engine.edge_names(id, direction, [r.id for r in rows]))

        return Table(f"{direction} of {id}" + (f" of type {type}" if type else ""), ObjectRow, total, fetch)

    def _object_rows(self, rows: Sequence[EngineRow], names: Sequence[str | None]) -> list[ObjectRow]:
        labels = self._labels(rows)
        retained = self._retained_of(r.id for r in rows if r.state == "present")
        return [ObjectRow(r.id, r.type, r.value, r.size, r.subtree_size,
                          None if retained is None else retained.get(r.id), labels.get(r.id), name,
                          r.state) for r, name in zip(rows, names)]

    def retainer(self, id: int) -> RetainerRow | None:
        """An object with its retained size, or None when the store has no such object."""
        self.require_retained()
        found = self.engine.retained(id)
        return None if found is None else _retainer_rows([found], self._labels([found]))[0]

    def why(self, id: int) -> Why:
        """The objects that each alone keep `id` alive (its dominators) and a shortest path of
        references from a root to it."""
        self.require_retained()
        answer = self.engine.why(id)
        if answer is None:
            raise UserError(f"no object with id {id} in the store")
        from vesker.sites import allocation_text

        labels = self._labels([*answer.dominators, *answer.path])
        return Why(id, Table.of(f"what alone keeps {id} alive, from the root down", RetainerRow,
                                _retainer_rows(answer.dominators, labels)),
                   Table.of(f"a shortest path from a root to {id}", RetainerRow,
                            _retainer_rows(answer.path, labels)),
                   reference_chain(answer.path), allocation_text(self.store_path, self.engine, id))

    def missing(self, ids: Iterable[int]) -> list[int]:
        """The ids, in order, of which the store holds no record."""
        return sorted(i for i in set(ids) if self.engine.edge_page(i, "references", "id", False, "", 0, 0) is None)

    def _require_objects(self, *ids: int) -> None:
        for object_id in ids:
            if self.missing([object_id]):
                raise UserError(f"no object with id {object_id} in the store")

    def path(self, start: int, end: int, avoid: Iterable[int] = ()) -> Path:
        """A shortest chain of references from `start` to `end` that passes through no module
        and none of `avoid`."""
        avoided = frozenset(avoid)
        unknown = self.missing(avoided)
        if unknown:
            raise UserError("no object with id " + ", ".join(map(str, unknown)) + " in the store (given to avoid)")
        self._require_objects(start, end)
        found = self.engine.find_path_tolerant(start, end, avoided)
        if found is None:
            return Path(f"no path from {start} to {end}", None)
        # Each step names the reference from the one before it; the first has none.
        names: list[str | None] = [None]
        names += [self.engine.edge_names(before.id, "references", [after.id])[0]
                  for before, after in zip(found, found[1:])]
        return Path(f"path of {len(found) - 1} references from {start} to {end}", self._object_rows(found, names))

    def common(self, first: int, second: int) -> ObjectRow | None:
        """The largest object that both `first` and `second` reach, or None."""
        self._require_objects(first, second)
        found = self.engine.find_common_tolerant(first, second)
        if found is None:
            return None
        page = self.engine.edge_page(found, "references", "id", False, "", 0, 0)
        assert page is not None, "the object found is in the store"
        return self._object_rows([page.object], [None])[0]

    def tree(self, id: int | None = None, expand: Iterable[str] = (), limit: int = 50) -> Table[TreeRow]:
        """What `id` (or, without one, the root) alone keeps alive, largest first; the children of
        one type are merged into one row unless their type is in `expand`."""
        self.require_retained()
        if id is not None and self.engine.retained(id) is None:
            raise UserError(f"no object with id {id} in the store")
        rows = self.engine.dominator_tree(id, tuple(expand), limit)
        labels = self._labels(row for row in rows if row.id is not None)
        return Table.of("what the root keeps alive" if id is None else f"what {id} alone keeps alive", TreeRow,
                        [TreeRow(r.id, r.type, r.value, r.count, r.size, r.retained,
                                 None if r.id is None else labels.get(r.id)) for r in rows])

    # -- analyses -----------------------------------------------------------------------------

    def suspects(self, baselines: Sequence[Heap] = (), threshold: float = 0.10) -> Table[SuspectRow]:
        """The objects, or groups of top-level objects of one type, that each hold `threshold`
        of the heap or more; against `baselines` (earlier heaps of the program, oldest first),
        whether each is new, growing or stable."""
        found = self._suspects(baselines, threshold, None)
        rows = []
        for answer in found.answers:
            suspect, held = answer.suspect, answer.suspect.held
            rows.append(SuspectRow(suspect.id, chain_of(suspect.path), suspect.retained, answer.share,
                                   suspect.count, None if held is None else held.type,
                                   None if held is None else held.count,
                                   answer.verdict if found.baselines else None, suspect.signature))
        return Table.of("leak suspects", SuspectRow, rows)

    def suspect_answers(self, baselines: Sequence[Heap] = (), threshold: float = 0.10) -> Suspects:
        """The suspects as `vesker suspects` tells them: each with the path from a root, the
        verdict against `baselines` and, when the dump recorded them, where it was made."""
        from vesker.sites import load

        return self._suspects(baselines, threshold, load(self.store_path, self.engine))

    def _suspects(self, baselines: Sequence[Heap], threshold: float, sites: SiteTable | None) -> Suspects:
        from vesker.suspects import find_suspects

        for heap in (*baselines, self):
            heap.require_retained()
        return find_suspects(self.engine, [heap.engine for heap in baselines], threshold, sites)

    def waste(self, limit: int = 20) -> Waste:
        """Duplicate strings and bytes, empty and oversized collections, and what each would save."""
        found = self.engine.waste(limit)
        duplicates = []
        for g in found.duplicates:
            holders = tuple(Holder(h.label, h.count) for h in g.holders)
            duplicates.append(DuplicateRow(g.type, g.value, g.size, g.copies, g.saving, g.sample,
                                           ", ".join(f"{h.label} ({h.count:,})" for h in holders), holders))
        containers = [ContainerRow(g.kind, g.type, g.holder, g.count, g.size, g.saving, g.sample)
                      for g in found.containers]
        return Waste(Table.of("duplicate values", DuplicateRow, duplicates),
                     Table.of("wasteful collections", ContainerRow, containers),
                     {kind: (total.count, total.saving) for kind, total in found.totals.items()})

    def sites(self, by: Literal["retained", "size", "count"] = "retained") -> Table[SiteRow]:
        """Where the memory was allocated, per source line, for a dump taken while tracing."""
        from vesker.sites import describe_frames

        report = self.site_report()
        if report is None:
            raise UserError("the store's dump recorded no allocation sites")
        labels = self.labels(sorted({h["id"] for row in report["sites"] for h in row["holders"] if h["id"]}))
        rows = [SiteRow(describe_frames(row["frames"]), row["count"], row["size"], row["retained"],
                        ", ".join(labels.get(h["id"]) or ("the roots" if h["id"] == 0 else hex(h["id"]))
                                  for h in row["holders"][:3]))
                for row in report["sites"]]
        rows.sort(key=lambda row: (-getattr(row, by), row.where))
        return Table.of(f"allocation sites by {by}", SiteRow, rows)

    def site_report(self) -> dict[str, Any] | None:
        """Per allocation site its frames, count, size, retained size (counted once) and largest
        holders, and the objects of unknown site (see `vesker.sites.site_report`); None when the
        dump recorded no sites."""
        from vesker.sites import load, site_report

        table = load(self.store_path, self.engine)
        return None if table is None else site_report(self.engine, table)

    def side(self) -> StoreSide:
        """What the store holds beside its records, as a comparison weighs it."""
        from vesker.compared_sizes import side_of

        return side_of(self.store_path, self.engine)

    def same_process_as(self, other: Heap) -> bool | None:
        """Whether the two dumps come from one process, as their identities say (None: unknown)."""
        return same_process(self.engine.metadata(), other.engine.metadata())

    def has_allocation_sites(self) -> bool:
        """Whether the dump recorded where its objects were allocated."""
        from vesker.sites import METADATA_KEY

        return METADATA_KEY in self.engine.metadata()

    def changes(self, baseline: Heap, one_process: bool) -> Changes:
        """What changed from `baseline` to this heap as `vesker diff` tells it; object by object
        when both dumps come from one process, with where the new objects were made when this
        dump recorded it."""
        from vesker.engine import diff
        from vesker.site_growth import annotate, diff_arguments

        table, site_arguments = diff_arguments(self.store_path, self.engine) if one_process else (None, {})
        result = diff(baseline.engine, self.engine, same_process=one_process, **site_arguments)
        held, added_sites = annotate(result, table)
        return Changes(result, held, added_sites)

    def holder_label(self, id: int) -> str | None:
        """An object named by the reference that keeps it, where the dump named it:
        `Cache._store` for the dict under a Cache's attribute `_store`."""
        answer = self.engine.why(id)
        path = answer.path if answer else []
        if len(path) >= 2 and path[-1].name:
            return row_label(path[-2]) + path[-1].name
        return None

    def diff(self, baseline: Heap) -> Diff:
        """What changed from `baseline` (an earlier heap) to this one: per type, and, when both
        dumps come from one process, the new objects by what already held them."""
        from vesker.engine import diff

        one = baseline.same_process_as(self)
        result = diff(baseline.engine, self.engine, same_process=bool(one))
        types = [TypeChangeRow(
            row["type"], row["old"]["count"], row["new"]["count"], row["old"]["size"], row["new"]["size"],
            None if not result["retained"] else (row["new"]["retained"] or 0) - (row["old"]["retained"] or 0),
            None if row["added"] is None else row["added"]["count"],
            None if row["removed"] is None else row["removed"]["count"]) for row in result["types"]]
        types.sort(key=lambda row: (-(row.new_size - row.old_size), row.type))
        held = [HeldRow(g["type"], g["holder_type"], g["largest_holder"], g["holders"], g["count"], g["size"],
                        g["held_count"], g["held_size"]) for g in result["held"]]
        return Diff(result["same_process"], result["retained"],
                    Table.of(f"types, from {baseline.store_path} to {self.store_path}", TypeChangeRow, types),
                    Table.of("new objects by what already held them", HeldRow, held))

    def growth(self, earlier: Sequence[Heap], limit: int = 100) -> Table[GrowthRow]:
        """The objects of this heap that never shrank and grew across `earlier` heaps of the same
        process (oldest first) and this one, largest final size first."""
        if len(earlier) < 2:
            raise UserError("growth needs two or more earlier heaps of the process, oldest first")
        return self.growth_report(earlier, limit).objects

    def growth_report(self, earlier: Sequence[Heap], limit: int = 100) -> Growth:
        """`growth` with how many objects grew and in how many the growth happens."""
        from vesker.engine import growth

        found = growth([*(heap.engine for heap in earlier), self.engine], limit=limit)
        labels = self._labels(found.objects)
        return Growth(Table.of(f"objects that grew, by final {found.sizes} size", GrowthRow,
                               [GrowthRow(o.id, o.type, o.value, labels.get(o.id), tuple(o.sizes))
                                for o in found.objects]),
                      found.growing, found.sources, found.sizes)

    def overview(self) -> Overview:
        """Its size, its leak suspects when retained sizes are known, its largest types and objects."""
        totals = self.totals() or Totals(0, 0)
        return Overview(self.store_path, totals.objects, totals.total_size, self.facts.precision,
                        self.suspects() if self.retained_fresh else None, self.types(), self.top())


def _retainer_rows(rows: list[RetainedRow], labels: dict[int, str]) -> list[RetainerRow]:
    return [RetainerRow(r.id, r.type, r.value, r.size, r.retained, r.unreachable,
                        labels.get(r.id), r.name) for r in rows]


def rows_between(fetch: Callable[[int], list[ObjectSummary]], start: int, stop: int) -> list[ObjectSummary]:
    """Rows start .. stop of a listing that the store hands out in pages of `_STORE_PAGE`."""
    if stop <= start:
        return []
    rows: list[ObjectSummary] = []
    first = start // _STORE_PAGE
    for number in range(first, (stop - 1) // _STORE_PAGE + 1):
        chunk = fetch(number)
        rows.extend(chunk)
        if len(chunk) < _STORE_PAGE:
            break
    skip = start - first * _STORE_PAGE
    return rows[skip : skip + stop - start]
