"""Where `vesker import`'s time went: each phase's wall time and share, and with --profile
the parts of each phase with their CPU time.

The native import times its own parts (reading, decoding and sorting the lines, the second
thread's spilling, merging and putting, committing, and the subtree-size step's parts)
into the file that VESKER_PHASE_LOG names; the retained-size computation reports its parts
itself. A part whose CPU time is well below its wall time waited: for the other thread, the
disk, or a busy machine.
"""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import NamedTuple, TextIO

from vesker.formatting import format_table

PHASE_LOG_VARIABLE = "VESKER_PHASE_LOG"


class Part(NamedTuple):
    name: str  # "phase/part", or "phase" for a whole phase
    wall: float
    cpu: float | None  # None where only the wall time is known


class PhaseTimes:
    """The phases of one `vesker import`, in the order they ran."""

    def __init__(self) -> None:
        self.parts: list[Part] = []

    @contextmanager
    def native(self) -> Iterator[None]:
        """Collects what the native import logs while the block runs."""
        handle, path = tempfile.mkstemp(prefix="vesker-phases-", suffix=".tsv")
        os.close(handle)
        previous = os.environ.get(PHASE_LOG_VARIABLE)
        os.environ[PHASE_LOG_VARIABLE] = path
        try:
            yield
        finally:
            if previous is None:
                del os.environ[PHASE_LOG_VARIABLE]
            else:
                os.environ[PHASE_LOG_VARIABLE] = previous
            try:
                with open(path, encoding="utf-8") as log:
                    for line in log:
                        name, wall, cpu = line.rstrip("\n").split("\t")
                        # A whole phase's CPU time is only its first thread's: left out.
                        self.parts.append(Part(name, float(wall), float(cpu) if "/" in name else None))
            finally:
                os.unlink(path)

    @contextmanager
    def timed(self, name: str) -> Iterator[None]:
        """Times a whole phase run from here (CPU time: this process's, every thread's)."""
        wall, cpu = time.perf_counter(), time.process_time()
        try:
            yield
        finally:
            self.parts.append(Part(name, time.perf_counter() - wall, time.process_time() - cpu))

    def add(self, name: str, wall: float, cpu: float | None = None) -> None:
        self.parts.append(Part(name, wall, cpu))

    def phases(self) -> list[Part]:
        return [part for part in self.parts if "/" not in part.name]

    def summary(self) -> str:
        """One line: each phase's time and share of their sum."""
        phases = self.phases()
        total = sum(phase.wall for phase in phases)
        shown = ", ".join(
            f"{phase.name} {phase.wall:.1f}s ({phase.wall / total:.0%})" if total > 0 else
            f"{phase.name} {phase.wall:.1f}s" for phase in phases
        )
        return f"phases: {shown}; {total:.1f}s in all"

    def write_profile(self, stream: TextIO) -> None:
        """Every phase with its parts, indented under it, wall and CPU time and share."""
        phases = self.phases()
        total = sum(phase.wall for phase in phases) or 1.0
        rows = []
        for phase in phases:
            rows.append(_row(phase.name, phase, total))
            for part in self.parts:
                if part.name.startswith(phase.name + "/"):
                    rows.append(_row("  " + part.name[len(phase.name) + 1:], part, total))
        stream.write("where the time went (CPU below wall: waiting for the other thread, the disk "
                     "or the machine; above: both cores at work):\n")
        stream.write(format_table(["phase", "wall", "CPU", "share"], rows, {1, 2, 3}) + "\n")


def _row(label: str, part: Part, total: float) -> list[str]:
    cpu = "" if part.cpu is None else f"{part.cpu:.2f}s"
    return [label, f"{part.wall:.2f}s", cpu, f"{part.wall / total:.0%}"]
