"""What the Python API answers: typed rows, read from the store a page at a time, shown as a table
in a notebook (`_repr_html_`) and handed to pandas (`to_pandas()`) when it is installed.

A listing of a large heap can hold millions of rows; a `Table` knows its length and reads a page
only when a row of it is asked for, so showing the first rows of one costs a page, not the heap.
"""

from __future__ import annotations

import dataclasses
import html
import importlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, TypeVar, overload

from vesker.formatting import format_bytes, format_value

if TYPE_CHECKING:
    from vesker.engine import Comparison

PAGE_ROWS = 1000
# A field of a row that is detail for programs (the command line's JSON), not a column of its table.
DETAIL: dict[str, bool] = {"column": False}
SHOWN_ROWS = 20
_BYTES = frozenset({"size", "total_size", "subtree_size", "retained", "saving", "held_size"})

R = TypeVar("R")


def _pandas() -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError:
        raise ImportError("to_pandas() needs pandas: pip install 'vesker-analysis[notebook]'") from None


def _cell(column: str, value: object) -> str:
    if value is None:
        return ""
    if column in _BYTES and isinstance(value, int):
        return format_bytes(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value) if column == "id" or column.endswith("_id") else f"{value:,}"
    if isinstance(value, float):
        return f"{value:.1%}" if column == "share" else f"{value:g}"
    if isinstance(value, str):
        return format_value(value, 80) if column == "value" else value
    return str(value)


def html_table(columns: Sequence[str], rows: Sequence[object]) -> str:
    head = "".join(f"<th>{html.escape(column)}</th>" for column in columns)
    body = "".join(
        "<tr>" + "".join(f"<td>{html.escape(_cell(column, getattr(row, column)))}</td>" for column in columns)
        + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def html_title(text: str) -> str:
    return f"<p><b>{html.escape(text)}</b></p>"


class Table(Sequence[R], Generic[R]):
    """Rows of one kind, in the store's order, read a page at a time.

    `fetch(offset, limit)` reads rows offset .. offset+limit; `total` is how many there are.
    """

    def __init__(self, title: str, row_type: type[R], total: int,
                 fetch: Callable[[int, int], list[R]], page_rows: int = PAGE_ROWS) -> None:
        self.title = title
        self.row_type = row_type
        self._total = total
        self._fetch = fetch
        self._page_rows = page_rows
        self._pages: dict[int, list[R]] = {}

    @classmethod
    def of(cls, title: str, row_type: type[R], rows: list[R]) -> Table[R]:
        """A table of rows already read."""
        return cls(title, row_type, len(rows), lambda offset, limit: rows[offset : offset + limit])

    @property
    def columns(self) -> tuple[str, ...]:
        return tuple(column.name for column in dataclasses.fields(self.row_type)  # type: ignore[arg-type]
                     if column.metadata.get("column", True))

    def __len__(self) -> int:
        return self._total

    def _page(self, number: int) -> list[R]:
        rows = self._pages.get(number)
        if rows is None:
            rows = self._pages[number] = self._fetch(number * self._page_rows, self._page_rows)
        return rows

    @overload
    def __getitem__(self, index: int) -> R: ...
    @overload
    def __getitem__(self, index: slice) -> list[R]: ...
    def __getitem__(self, index: int | slice) -> R | list[R]:
        if isinstance(index, slice):
            start, stop, step = index.indices(self._total)
            if step != 1:
                return [self[i] for i in range(start, stop, step)]
            return self._between(start, stop)
        if index < 0:
            index += self._total
        if not 0 <= index < self._total:
            raise IndexError(f"row {index} of {self._total}")
        page = self._page(index // self._page_rows)
        at = index % self._page_rows
        if at >= len(page):  # the store holds fewer rows than it counted (a replaced record)
            raise IndexError(f"row {index} of {self._total}")
        return page[at]

    def _between(self, start: int, stop: int) -> list[R]:
        rows: list[R] = []
        if stop <= start:
            return rows
        for number in range(start // self._page_rows, (stop - 1) // self._page_rows + 1):
            page = self._page(number)
            first = max(start - number * self._page_rows, 0)
            rows.extend(page[first : stop - number * self._page_rows])
            if len(page) < self._page_rows:
                break
        return rows

    def __iter__(self) -> Iterator[R]:
        for number in range((self._total + self._page_rows - 1) // self._page_rows):
            page = self._page(number)
            yield from page
            if len(page) < self._page_rows:
                return

    def window(self, offset: int, limit: int) -> list[R]:
        """Rows offset .. offset+limit read at once and not kept: what a paged display asks for."""
        return self._fetch(offset, limit) if limit > 0 and offset < self._total else []

    def head(self, count: int = SHOWN_ROWS) -> list[R]:
        return self._between(0, min(count, self._total))

    def _repr_html_(self) -> str:
        shown = self.head()
        more = self._total - len(shown)
        note = f"<p>({more:,} more rows: index, slice or iterate the table)</p>" if more > 0 else ""
        return html_title(self.title) + html_table(self.columns, shown) + note

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.title!r}: {self._total:,} rows>"

    def to_pandas(self) -> Any:
        """Every row as a pandas DataFrame, one column per field (sizes in bytes)."""
        pandas = _pandas()
        columns = self.columns
        return pandas.DataFrame([[getattr(row, column) for column in columns] for row in self], columns=list(columns))


def frames_of(parts: dict[str, Table[Any]]) -> Any:
    """Tables of one result as one DataFrame, with the part each row comes from."""
    pandas = _pandas()
    frames = [table.to_pandas().assign(part=name) for name, table in parts.items() if len(table)]
    return pandas.concat(frames, ignore_index=True) if frames else pandas.DataFrame()


# -- rows -------------------------------------------------------------------------------------


@dataclass(frozen=True)
class TypeRow:
    type: str
    count: int
    total_size: int
    retained: int | None  # counted once per type; None without up-to-date retained sizes


@dataclass(frozen=True)
class ObjectRow:
    """An object in a listing. `state` is "missing" for an id without a record, "stale" for a
    referrer whose record no longer refers to the object; `name` is the reference that leads to
    it (`.items`, `['k']`), `label` what it is when it has no value (`(__main__.cache)`);
    `unreachable` is known in listings by retained size."""

    id: int
    type: str | None
    value: str | None
    size: int | None
    subtree_size: int | None
    retained: int | None
    label: str | None = None
    name: str | None = None
    state: str = "present"
    unreachable: bool | None = None


@dataclass(frozen=True)
class RetainerRow:
    """An object on the dominator tree: what it alone keeps alive."""

    id: int
    type: str
    value: str | None
    size: int
    retained: int | None
    unreachable: bool
    label: str | None = None
    name: str | None = None


@dataclass(frozen=True)
class TreeRow:
    """A child in the dominator tree; siblings of one type merged have no id and a count."""

    id: int | None
    type: str
    value: str | None
    count: int
    size: int
    retained: int
    label: str | None = None


@dataclass(frozen=True)
class SuspectRow:
    id: int
    where: str
    retained: int
    share: float
    count: int
    held_type: str | None
    held_count: int | None
    verdict: str | None  # against baselines: new, growing, stable, shrinking, unknown
    signature: str


@dataclass(frozen=True)
class Holder:
    """What holds copies of a duplicate value, and how many."""

    label: str
    count: int


@dataclass(frozen=True)
class DuplicateRow:
    type: str
    value: str
    size: int
    copies: int
    saving: int
    sample_id: int
    held_by: str
    holders: tuple[Holder, ...] = field(default=(), metadata=DETAIL)


@dataclass(frozen=True)
class ContainerRow:
    kind: str
    type: str
    holder: str
    count: int
    size: int
    saving: int
    sample_id: int


@dataclass(frozen=True)
class SiteRow:
    where: str
    count: int
    size: int
    retained: int
    holders: str


@dataclass(frozen=True)
class TypeChangeRow:
    type: str
    old_count: int
    new_count: int
    old_size: int
    new_size: int
    retained_change: int | None
    added_count: int | None  # known when both dumps come from one process
    removed_count: int | None


@dataclass(frozen=True)
class HeldRow:
    type: str
    holder_type: str | None
    largest_holder_id: int
    holders: int
    count: int
    size: int
    held_count: int
    held_size: int


@dataclass(frozen=True)
class GrowthRow:
    id: int
    type: str
    value: str | None
    label: str | None
    sizes: tuple[int | None, ...]


# -- results of more than one table --------------------------------------------------------------


@dataclass(frozen=True)
class ObjectView:
    """One object with its references and referrers (`Heap.show`)."""

    object: ObjectRow
    allocation: str | None
    references: Table[ObjectRow]
    referrers: Table[ObjectRow]

    def _repr_html_(self) -> str:
        head = html_title(f"{self.object.type} {self.object.id}")
        facts = html_table([column.name for column in dataclasses.fields(ObjectRow)], [self.object])
        where = "" if self.allocation is None else f"<p>{html.escape(self.allocation)}</p>"
        return head + facts + where + self.references._repr_html_() + self.referrers._repr_html_()

    def to_pandas(self) -> Any:
        return frames_of({"references": self.references, "referrers": self.referrers})


@dataclass(frozen=True)
class Neighbours:
    """One object with every reference and referrer (`Heap.neighbours`), as the command line
    sorts and pages them itself; `retained_known` when the store's retained sizes are up to date."""

    object: ObjectRow
    allocation: str | None
    references: list[ObjectRow]
    referrers: list[ObjectRow]
    retained_known: bool


@dataclass(frozen=True)
class Why:
    """Why an object is alive (`Heap.why`): the objects that each alone keep it alive, from the
    root down (the object last), and a shortest path of references from a root."""

    id: int
    dominators: Table[RetainerRow]
    path: Table[RetainerRow]
    chain: str
    allocation: str | None

    def _repr_html_(self) -> str:
        where = "" if self.allocation is None else f"<p>{html.escape(self.allocation)}</p>"
        return (html_title(f"why {self.id} is alive: {self.chain}") + where
                + self.dominators._repr_html_() + self.path._repr_html_())

    def to_pandas(self) -> Any:
        return frames_of({"dominators": self.dominators, "path": self.path})


@dataclass(frozen=True)
class Waste:
    """What the heap could do without (`Heap.waste`); `totals` by kind: count and saving."""

    duplicates: Table[DuplicateRow]
    containers: Table[ContainerRow]
    totals: dict[str, tuple[int, int]]

    def _repr_html_(self) -> str:
        saving = sum(saving for _, saving in self.totals.values())
        return (html_title(f"what the heap could do without: {format_bytes(saving)} in all")
                + self.duplicates._repr_html_() + self.containers._repr_html_())

    def to_pandas(self) -> Any:
        return frames_of({"duplicates": self.duplicates, "containers": self.containers})


@dataclass(frozen=True)
class Diff:
    """What changed from a baseline to this heap (`Heap.diff`)."""

    same_process: bool
    retained: bool  # whether retained sizes were compared
    types: Table[TypeChangeRow]
    held: Table[HeldRow]  # new objects by what already held them, when from one process

    def _repr_html_(self) -> str:
        return self.types._repr_html_() + (self.held._repr_html_() if len(self.held) else "")

    def to_pandas(self) -> Any:
        return frames_of({"types": self.types, "held": self.held})


@dataclass(frozen=True)
class Changes:
    """What changed between two dumps as the command line tells it (`Heap.changes`): the engine's
    comparison (see `vesker.engine.diff`), and its held groups and new objects by site, each
    saying where its objects were made (`allocated_at`)."""

    comparison: Comparison
    held: list[dict[str, Any]]
    added_sites: list[dict[str, Any]]


@dataclass(frozen=True)
class Growth:
    """The objects that kept growing (`Heap.growth_report`): the largest, how many grew, and in
    how many of them growth happens (the others only hold those); `sizes` names the sizes compared."""

    objects: Table[GrowthRow]
    growing: int
    sources: int
    sizes: str


@dataclass(frozen=True)
class Overview:
    """The first look at a heap: its size, its suspects, and its largest types and objects."""

    path: str
    objects: int
    total_size: int
    precision: str
    suspects: Table[SuspectRow] | None  # None without up-to-date retained sizes
    types: Table[TypeRow]
    top: Table[ObjectRow]

    def _repr_html_(self) -> str:
        head = html_title(f"{self.path}: {self.objects:,} objects, {format_bytes(self.total_size)} "
                          f"(subtree sizes: {self.precision})")
        parts = [head]
        if self.suspects is not None:
            parts.append(self.suspects._repr_html_())
        parts += [_first(self.types, 10), _first(self.top, 10)]
        return "".join(parts)

    def to_pandas(self) -> Any:
        parts: dict[str, Table[Any]] = {} if self.suspects is None else {"suspects": self.suspects}
        return frames_of({**parts, "types": self.types, "top": self.top})


def _first(table: Table[Any], count: int) -> str:
    shown = table.head(count)
    return html_title(table.title) + html_table(table.columns, shown)
