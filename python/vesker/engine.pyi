"""Analyses of heap-dump stores beyond the explorer's queries (native module)."""

from collections.abc import Callable, Iterable, Sequence
from os import PathLike
from types import TracebackType
from typing import ClassVar, Final, Literal, TypedDict, final, type_check_only

@final
class StoreCheck:
    __match_args__: ClassVar[tuple[str, ...]]
    databases: Final[int]
    entries: Final[int]
    bytes: Final[int]
    problems: Final[list[str]]

@final
class SiteRow:
    __match_args__: ClassVar[tuple[str, ...]]
    count: Final[int]
    size: Final[int]
    retained: Final[int]
    holders: Final[list[tuple[int, int]]]

@final
class UnknownSite:
    __match_args__: ClassVar[tuple[str, ...]]
    count: Final[int]
    size: Final[int]

@final
class SiteSeconds:
    __match_args__: ClassVar[tuple[str, ...]]
    graph: Final[float]
    dominators: Final[float]
    sites: Final[float]

@final
class SiteTotals:
    __match_args__: ClassVar[tuple[str, ...]]
    sites: Final[list[SiteRow]]
    unknown: Final[UnknownSite]
    seconds: Final[SiteSeconds]

@final
class RetainedRun:
    __match_args__: ClassVar[tuple[str, ...]]
    objects: Final[int]
    edges: Final[int]
    unreachable: Final[int]
    total_size: Final[int]
    graph_bytes: Final[int]
    read_seconds: Final[float]
    dominator_seconds: Final[float]
    write_seconds: Final[float]

@final
class RetainedRow:
    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int]
    type: Final[str]
    value: Final[str | None]
    size: Final[int]
    retained: Final[int | None]
    idom: Final[int | None]
    root_edge: Final[bool]
    unreachable: Final[bool]
    name: Final[str | None]

@final
class TreeRow:
    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int | None]
    type: Final[str]
    value: Final[str | None]
    count: Final[int]
    size: Final[int]
    retained: Final[int]

@final
class WhyAnswer:
    __match_args__: ClassVar[tuple[str, ...]]
    dominators: Final[list[RetainedRow]]
    path: Final[list[RetainedRow]]

@final
class HeldType:
    __match_args__: ClassVar[tuple[str, ...]]
    type: Final[str]
    count: Final[int]
    retained: Final[int]
    sample: Final[int]

@final
class SuspectRow:
    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int]
    retained: Final[int]
    count: Final[int]
    object: Final[RetainedRow | None]
    descent: Final[list[RetainedRow]]
    held: Final[HeldType | None]
    path: Final[list[RetainedRow]]
    signature: Final[str]
    signature_text: Final[str]

@final
class SuspectFinding:
    __match_args__: ClassVar[tuple[str, ...]]
    heap: Final[int]
    suspects: Final[list[SuspectRow]]

@final
class WasteHolder:
    __match_args__: ClassVar[tuple[str, ...]]
    label: Final[str]
    count: Final[int]

@final
class DuplicateGroup:
    __match_args__: ClassVar[tuple[str, ...]]
    type: Final[str]
    value: Final[str]
    size: Final[int]
    copies: Final[int]
    saving: Final[int]
    sample: Final[int]
    holders: Final[list[WasteHolder]]

@final
class ContainerGroup:
    __match_args__: ClassVar[tuple[str, ...]]
    kind: Final[Literal["empty", "over-allocated", "sparse"]]
    type: Final[str]
    holder: Final[str]
    count: Final[int]
    size: Final[int]
    saving: Final[int]
    sample: Final[int]

@final
class WasteTotal:
    __match_args__: ClassVar[tuple[str, ...]]
    count: Final[int]
    saving: Final[int]

@final
class WasteFinding:
    __match_args__: ClassVar[tuple[str, ...]]
    duplicates: Final[list[DuplicateGroup]]
    containers: Final[list[ContainerGroup]]
    totals: Final[dict[str, WasteTotal]]

@final
class ObjectRow:
    """An object in a tolerant lookup; a "missing" one has None for all but id and state."""

    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int]
    type: Final[str | None]
    value: Final[str | None]
    size: Final[int | None]
    subtree_size: Final[int | None]
    state: Final[Literal["present", "missing", "stale"]]
    def __new__(cls, fields: Iterable[object], /) -> ObjectRow: ...

@final
class TolerantObject:
    """An object row with all its references and referrers."""

    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int]
    type: Final[str]
    value: Final[str | None]
    size: Final[int]
    subtree_size: Final[int | None]
    state: Final[Literal["present"]]
    references: Final[list[ObjectRow]]
    referrers: Final[list[ObjectRow]]

@final
class EdgePage:
    """One page of an object's references or referrers; `total` counts those that pass the filter."""

    __match_args__: ClassVar[tuple[str, ...]]
    object: Final[ObjectRow]
    reference_count: Final[int]
    referrer_count: Final[int]
    total: Final[int]
    rows: Final[list[ObjectRow]]

class Cancellation:
    """Passed as `cancel` to the queries that can take long; cancel() stops them with Cancelled."""

    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

class Cancelled(Exception): ...

class NotFoundError(RuntimeError):
    object_id: int

class NotComputedError(RuntimeError):
    object_id: int

class BadRecordError(RuntimeError):
    reason: str | None
    column: int | None

class RejectedKeyError(RuntimeError): ...
class StoreFullError(RuntimeError): ...
class DamagedStoreError(RuntimeError): ...
class StoreBusyError(RuntimeError): ...
class PanicException(BaseException): ...

class Store:
    """A store directory opened for the analyses; shares an explorer's environment in one process."""

    def __new__(cls, path: str | bytes | PathLike[str] | PathLike[bytes]) -> Store: ...
    @property
    def path(self) -> str: ...
    def close(self) -> None: ...
    def __enter__(self) -> Store: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    def metadata(self) -> dict[str, str]: ...
    def set_metadata(self, key: str, value: str) -> None: ...
    def generation(self) -> int: ...
    def record_with_next_import(
        self, entries: dict[str, str] | None, /, *, dangling_references_key: str | None = None
    ) -> None: ...
    def compute_retained(self, progress: Callable[[int, int], object] | None = None) -> RetainedRun: ...
    def retained_state(self) -> Literal["missing", "fresh", "stale"]: ...
    def retained(self, id: int, /) -> RetainedRow | None: ...
    def top_retained(self, type: str = "All Types", offset: int = 0, limit: int = 20) -> list[RetainedRow]: ...
    def dominator_tree(
        self, id: int | None = None, expand: Iterable[str] | None = (), limit: int = 50, *,
        cancel: Cancellation | None = None,
    ) -> list[TreeRow]: ...
    def why(self, id: int, /, *, cancel: Cancellation | None = None) -> WhyAnswer | None: ...
    def type_retained(self) -> dict[str, int]: ...
    def suspects(self, threshold: float = 0.1, *, cancel: Cancellation | None = None) -> SuspectFinding: ...
    def waste(self, limit: int = 20, *, cancel: Cancellation | None = None) -> WasteFinding: ...
    def site_totals(
        self, ids: bytes, sites: bytes, site_count: int, holders: int = 5, *, cancel: Cancellation | None = None
    ) -> SiteTotals: ...
    def labels(self, ids: Sequence[int], /) -> list[str | None]: ...
    def edge_names(
        self, id: int, direction: str, ids: Sequence[int], /
    ) -> list[str | None]: ...
    def import_names(self, pairs: Iterable[tuple[int, Sequence[str | None]]], /) -> None: ...
    def get_object_tolerant(self, id: int, /) -> TolerantObject | None: ...
    def edge_page(
        self, id: int, direction: str, order: str, descending: bool, type: str, offset: int, limit: int, *,
        cancel: Cancellation | None = None,
    ) -> EdgePage | None: ...
    def edge_order(
        self, id: int, direction: str, order: str, descending: bool, type: str, *,
        cancel: Cancellation | None = None,
    ) -> list[int] | None: ...
    def edge_rows(self, id: int, direction: str, ids: Sequence[int], /) -> list[ObjectRow]: ...
    def find_path_tolerant(
        self, start: int, end: int, avoid: set[int] | frozenset[int], *, cancel: Cancellation | None = None
    ) -> list[ObjectRow] | None: ...
    def find_common_tolerant(
        self, first: int, second: int, *, cancel: Cancellation | None = None
    ) -> int | None: ...
    def check_references(self) -> tuple[int, int]: ...
    def object_count(self) -> int: ...
    def named_object_count(self) -> int: ...
    def check(self) -> StoreCheck: ...

@type_check_only
class Totals(TypedDict):
    count: int
    size: int
    retained: int | None

@type_check_only
class TypeChange(TypedDict):
    type: str
    old: Totals
    new: Totals
    added: Totals | None
    removed: Totals | None

@type_check_only
class HeldGroup(TypedDict):
    type: str
    site: int | None
    holder_type: str | None
    holders: int
    largest_holder: int
    count: int
    size: int
    held_count: int
    held_size: int

@type_check_only
class PathHolding(TypedDict):
    size: int
    items: int

@type_check_only
class PathChange(TypedDict):
    path: str
    old: PathHolding | None
    new: PathHolding

@type_check_only
class SiteGrowth(TypedDict):
    site: int | None
    count: int
    size: int

@type_check_only
class Comparison(TypedDict):
    same_process: bool
    retained: bool
    types: list[TypeChange]
    total: TypeChange
    held: list[HeldGroup]
    paths: list[PathChange]
    added_sites: list[SiteGrowth]

@final
class GrowingObject:
    __match_args__: ClassVar[tuple[str, ...]]
    id: Final[int]
    type: Final[str]
    value: Final[str | None]
    sizes: Final[list[int | None]]

@final
class Growth:
    __match_args__: ClassVar[tuple[str, ...]]
    objects: Final[list[GrowingObject]]
    growing: Final[int]
    sources: Final[int]
    sizes: Final[str]

def guard_store_damage(prefix: str, /) -> None: ...
def diff(
    old: Store, new: Store, *, same_process: bool = False, site_ids: bytes = ..., sites: bytes = ...
) -> Comparison: ...
def growth(stores: Sequence[Store], *, limit: int = 100) -> Growth: ...
