"""Heap dumps of Python processes and the tools to explore them.

The dumper (`vesker.dumper.dump_heap`) is pure Python; `vesker.open(store)` gives a `Heap` whose
methods answer questions about an imported dump (see `vesker.heap`); `%load_ext vesker` adds the
`%vesker_dump` magic to IPython.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from vesker.dumper import DumpStats, dump_heap

if TYPE_CHECKING:
    from vesker.heap import Heap, open

__all__ = ["DumpStats", "Heap", "dump_heap", "open"]


if not TYPE_CHECKING:  # for the type checker the names are the imports above

    def __getattr__(name: str) -> Any:
        # Imported on first use: a process being dumped imports this package, and nothing more of
        # it may land in its modules than the dumper needs.
        if name in ("Heap", "open"):
            from vesker import heap

            return getattr(heap, name)
        raise AttributeError(f"module 'vesker' has no attribute {name!r}")


def load_ipython_extension(ipython: Any) -> None:
    """`%load_ext vesker`: registers `%vesker_dump`."""
    from vesker.notebook import register

    register(ipython)
