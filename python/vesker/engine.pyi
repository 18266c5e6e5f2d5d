"""Analyses of heap-dump stores beyond the explorer's queries (native module)."""

from os import PathLike
from types import TracebackType
from typing import Literal, TypedDict

class Summary(TypedDict):
    """An object in a tolerant lookup; a "missing" one has None for all but id and state."""

    id: int
    type: str | None
    value: str | None
    size: int | None
    subtree_size: int | None
    state: Literal["present", "missing", "stale"]

class TolerantObject(Summary):
    references: list[Summary]
    referrers: list[Summary]

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
    def get_object_tolerant(self, id: int) -> TolerantObject | None: ...
    def find_path_tolerant(
        self, start: int, end: int, avoid: set[int] | frozenset[int]
    ) -> list[Summary] | None: ...
    def find_common_tolerant(self, first: int, second: int) -> int | None: ...
    def check_references(self) -> tuple[int, int]: ...
