"""How much of the dumped process's memory its objects account for.

A dump holds the objects that the walk reached, each with the size that the object itself
reports. The process holds more: buffers that C extensions allocate beside their objects (an
ndarray's data, a compressor's window), memory that the allocators keep free for reuse, the
interpreter's own tables, thread stacks and the loaded code. The sidecar of a dump records the
process's memory at the moment of the dump ("memory": resident and anonymous bytes, and the
allocator's own figure where the interpreter offers one); the import keeps it with the dump's
identity (see dump_identity.py), and the commands set it beside the objects' total.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from vesker.dump_identity import process_of, stored_identities
from vesker.formatting import format_bytes

OUTSIDE_OBJECTS = (
    "C extensions' buffers (such as numpy arrays' data), the allocator's free memory, "
    "the interpreter's own structures, thread stacks and loaded code"
)


@dataclass(frozen=True)
class ProcessMemory:
    resident: int
    anonymous: int | None
    allocator: int | None


def _bytes(value: object) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _memory_of(identity: dict[str, Any]) -> ProcessMemory | None:
    figures = identity.get("memory")
    if not isinstance(figures, dict):
        return None
    resident = _bytes(figures.get("resident"))
    if resident is None:
        return None
    return ProcessMemory(resident, _bytes(figures.get("anonymous")), _bytes(figures.get("allocator")))


def dumped_process_memory(metadata: dict[str, str]) -> ProcessMemory | None:
    """The memory of the process(es) behind a store's objects, None when a dump does not say.

    A store can hold several dumps: those of one process describe one memory, of which the last
    dump's figures count; those of different processes add up."""
    identities = stored_identities(metadata)
    if not identities:
        return None
    latest: dict[object, ProcessMemory] = {}
    for position, identity in enumerate(identities):
        memory = _memory_of(identity)
        if memory is None:
            return None
        latest[process_of(identity) or position] = memory
    figures = list(latest.values())

    def total(values: list[int | None]) -> int | None:
        return None if None in values else sum(value for value in values if value is not None)

    return ProcessMemory(
        sum(memory.resident for memory in figures),
        total([memory.anonymous for memory in figures]),
        total([memory.allocator for memory in figures]),
    )


def memory_json(objects: int, memory: ProcessMemory | None) -> dict[str, int | None] | None:
    """The figures for `--json` outputs: `objects` the dumped objects' total size."""
    if memory is None:
        return None
    return {
        "objects": objects,
        "resident": memory.resident,
        "anonymous": memory.anonymous,
        "allocator": memory.allocator,
        "outside_objects": max(memory.resident - objects, 0),
    }


def memory_sentence(objects: int, memory: ProcessMemory) -> str:
    """`the dumped objects are 13.6 MiB of 284.0 MiB resident; the rest is outside ...`."""
    figures = [f"{format_bytes(memory.anonymous)} anonymous"] if memory.anonymous is not None else []
    if memory.allocator is not None:
        figures.append(f"{format_bytes(memory.allocator)} by the allocator's own count")
    detail = f" ({', '.join(figures)})" if figures else ""
    if objects > memory.resident:
        return (f"the dumped objects are {format_bytes(objects)}, more than the {format_bytes(memory.resident)} "
                f"resident{detail}: part of their memory was swapped out or never touched")
    return (f"the dumped objects are {format_bytes(objects)} of {format_bytes(memory.resident)} resident{detail}; "
            f"the rest is outside Python objects: {OUTSIDE_OBJECTS}")


def memory_change_sentence(old_objects: int, old: ProcessMemory, new_objects: int, new: ProcessMemory) -> str:
    """Both dumps' shares side by side, and how each changed: objects that stay flat while the
    resident memory grows point outside the objects."""
    def signed(value: int) -> str:
        return ("+" if value >= 0 else "-") + format_bytes(abs(value))

    return (f"the dumped objects are {format_bytes(old_objects)} of {format_bytes(old.resident)} resident in "
            f"the old dump, {format_bytes(new_objects)} of {format_bytes(new.resident)} in the new "
            f"({signed(new_objects - old_objects)} of {signed(new.resident - old.resident)}); the rest is "
            f"outside Python objects: {OUTSIDE_OBJECTS}")
