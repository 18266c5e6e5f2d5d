"""Analyses of heap-dump stores beyond the explorer's queries (native module)."""

from collections.abc import Sequence
from os import PathLike
from types import TracebackType
from typing import TypedDict, type_check_only

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
    ) -> None: ...
    def metadata(self) -> dict[str, str]: ...
    def set_metadata(self, key: str, value: str) -> None: ...

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
    holder_type: str | None
    holders: int
    largest_holder: int
    count: int
    size: int
    held_count: int
    held_size: int

@type_check_only
class Comparison(TypedDict):
    same_process: bool
    retained: bool
    types: list[TypeChange]
    total: TypeChange
    held: list[HeldGroup]

@type_check_only
class GrowingObject(TypedDict):
    id: int
    type: str
    value: str | None
    sizes: list[int | None]

@type_check_only
class Growth(TypedDict):
    objects: list[GrowingObject]
    growing: int
    sources: int
    sizes: str

def diff(old: Store, new: Store, *, same_process: bool = False) -> Comparison: ...
def growth(stores: Sequence[Store], *, limit: int = 100) -> Growth: ...
