"""Retained sizes: computing them after an import, and reading them back.

The retained size of an object is what would be freed if that object alone went away: the
objects it dominates in the heap's dominator tree. Library code and the command line both reach
them through here.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, TextIO

from vesker.phase_times import PhaseTimes
from vesker.progress import Phase
from vesker.store import UserError, is_store
from vesker.store_health import storage_failure

if TYPE_CHECKING:
    from vesker.engine import RetainedRow, Store, TreeRow

MODULE_TYPE = "builtins.module"
_NAMES_KEY = b'"names"'


def open_engine(path: str) -> Store:
    """The analyses' view of an existing store."""
    if not os.path.isdir(path) or not is_store(path):
        raise UserError(f"{path!r} is not a store (create it with 'vesker import')")
    from vesker import engine

    try:
        return engine.Store(path)
    except RuntimeError as error:
        raise UserError(f"cannot open store {path!r}: {error}") from None


class ReferenceNames:
    """Collects the optional "names" of dump lines while the lines go by to the import."""

    def __init__(self) -> None:
        self.pairs: list[tuple[int, list[str | None]]] = []

    def watch(self, lines: Iterator[bytes]) -> Iterator[bytes]:
        for line in lines:
            # Only the few lines that carry names are parsed twice. `find`, not `in`: bytes'
            # `in` first tries its operand as an integer, raising and clearing a TypeError on
            # every line, which made this check cost more than the line's own decoding.
            if line.find(_NAMES_KEY) >= 0:
                record = json.loads(line)
                names = record.get("names")
                if isinstance(names, list) and isinstance(record.get("id"), int):
                    self.pairs.append((record["id"], [n if isinstance(n, str) else None for n in names]))
            yield line


def store_names(store_path: str, names: ReferenceNames) -> None:
    if not names.pairs:
        return
    store = open_engine(store_path)
    try:
        store.import_names(names.pairs)
    finally:
        store.close()


def compute_retained(
    store_path: str, names: ReferenceNames | None, stream: TextIO, live: bool,
    times: PhaseTimes | None = None,
) -> None:
    times = times or PhaseTimes()
    store = open_engine(store_path)
    try:
        if names is not None and names.pairs:
            with times.timed("names"):
                store.import_names(names.pairs)
        phase = Phase("computing retained sizes", stream, live)
        phase.start()
        try:
            with times.timed("retained sizes"):
                run = store.compute_retained(progress=phase.update)
        except RuntimeError as error:
            raise UserError(f"computing retained sizes in {store_path!r} failed: {error}") from None
        except OSError as error:
            raise UserError(f"computing retained sizes in {store_path!r} failed: {storage_failure(error)}; "
                            "the store keeps its objects without retained sizes") from None
        finally:
            phase.stop(failed=sys.exc_info()[0] is not None)
        times.add("retained sizes/reading the graph", run.read_seconds)
        times.add("retained sizes/dominators and retained sizes", run.dominator_seconds)
        times.add("retained sizes/writing", run.write_seconds)
        if run.unreachable:
            stream.write(
                f"{run.unreachable:,} objects are unreachable: cycles that nothing refers to\n"
            )
    finally:
        store.close()


def fresh(store: Store) -> bool:
    return store.retained_state() == "fresh"


def require_fresh(store: Store, path: str) -> None:
    state = store.retained_state()
    if state == "fresh":
        return
    why = "has no retained sizes" if state == "missing" else "changed since its retained sizes were computed"
    raise UserError(f"store {path!r} {why}; compute them with 'vesker retained {path}'")


def row_label(row: RetainedRow | TreeRow) -> str:
    """A short name for an object in a chain: a module's name, otherwise its type's last part."""
    if row.type == MODULE_TYPE and row.value:
        return row.value
    return row.type.rsplit(".", 1)[-1]


def reference_chain(rows: list[RetainedRow]) -> str:
    """`__main__.cache -> dict['k'] -> Order.items -> list[3]`: each referrer with the name of its
    reference to the next object; the last object is named when the last reference is not."""
    if not rows:
        return ""
    parts = []
    for row, following in zip(rows, rows[1:]):
        parts.append(row_label(row) + (following.name or ""))
    if len(rows) == 1 or not rows[-1].name:
        parts.append(row_label(rows[-1]))
    return " -> ".join(parts)
