"""Analyses of heap-dump stores beyond the explorer's queries (native module)."""

from os import PathLike
from types import TracebackType
from typing import TypedDict

class StoreCheck(TypedDict):
    databases: int
    entries: int
    bytes: int
    problems: list[str]

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
    def object_count(self) -> int: ...
    def check(self) -> StoreCheck: ...
