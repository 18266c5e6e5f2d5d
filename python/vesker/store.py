"""Opening stores and importing dump files into them, with checks a person needs."""

from __future__ import annotations

import gc
import gzip
import os
import re
import shutil
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO, TextIO

from vesker.progress import Phase, ReadProgress
from vesker.store_health import WaitNotice, failed_import_message, object_count, writer_wait_notice

if TYPE_CHECKING:
    from vesker_analysis import EstimatorPrecision, HeapDumpExplorer

ALL_TYPES = "All Types"
PRECISIONS = ("none", "low", "medium", "high", "exact")
_DATA_FILE = "data.mdb"
_GZIP_MAGIC = b"\x1f\x8b"


class UserError(Exception):
    """A mistake in what was asked for; shown as one line, without a traceback."""


def _extension() -> object:
    try:
        import vesker_analysis
    except ImportError as error:
        raise UserError(f"the vesker_analysis extension module is not installed ({error})") from None
    return vesker_analysis


def precision_from_name(name: str) -> EstimatorPrecision:
    module = _extension()
    members = {
        "none": "NoEstimates",
        "low": "Low",
        "medium": "Medium",
        "high": "High",
        "exact": "Exact",
    }
    precision: EstimatorPrecision = getattr(module.EstimatorPrecision, members[name])  # type: ignore[attr-defined]
    return precision


def is_store(path: str) -> bool:
    return os.path.isfile(os.path.join(path, _DATA_FILE))


def _explorer(path: str) -> HeapDumpExplorer:
    module = _extension()
    try:
        with writer_wait_notice(path):
            explorer: HeapDumpExplorer = module.HeapDumpExplorer(path)  # type: ignore[attr-defined]
    except RuntimeError as error:
        raise UserError(f"cannot open store {path!r}: {error}") from None
    return explorer


def open_store(path: str) -> HeapDumpExplorer:
    """Open an existing store; never creates one in a directory that is not a store."""
    if not os.path.exists(path):
        raise UserError(f"store {path!r} does not exist (create it with 'vesker import')")
    if not os.path.isdir(path):
        raise UserError(f"store {path!r} is not a directory")
    if not is_store(path):
        raise UserError(f"{path!r} is not a store: it holds no {_DATA_FILE}")
    return _explorer(path)


@dataclass(frozen=True)
class ImportStats:
    objects: int
    bytes_read: int
    seconds: float


class _DumpLines:
    """The lines of a dump file, counting them and reporting the read position."""

    def __init__(self, path: str, progress: ReadProgress) -> None:
        self.lines = 0
        self.reading_done = False
        self._raw = open(path, "rb", buffering=1 << 20)
        self._progress = progress
        magic = self._raw.read(2)
        self._raw.seek(0)
        self._handle: gzip.GzipFile | BinaryIO = (
            gzip.GzipFile(fileobj=self._raw, mode="rb") if magic == _GZIP_MAGIC else self._raw
        )

    def close(self) -> None:
        self._handle.close()
        self._raw.close()

    def position(self) -> int:
        return self._raw.tell()

    def __iter__(self) -> Iterator[bytes]:
        count = 0
        next_update = 0
        update = self._progress.update
        for line in self._handle:
            count += 1
            self.lines = count
            if count >= next_update:
                update(self._raw.tell(), count)
                next_update = count + 4096
            yield line
        self._progress.finish(self._raw.tell(), count)
        self.reading_done = True


_POSITION_SUFFIX = re.compile(r" at line \d+ column (\d+)$")


def _bad_line_message(path: str, line: int, message: str) -> str:
    match = _POSITION_SUFFIX.search(message)
    if match:
        message = message[: match.start()] + " at column " + match.group(1)
    return f"{path}: line {line} is not a heap dump record: {message}"


def prepare_store_directory(path: str) -> bool:
    """Make `path` ready for an import; True when this call created it."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UserError(f"store {path!r} is not a directory")
    if not os.path.exists(path):
        try:
            os.makedirs(path)
        except OSError as error:
            raise UserError(f"cannot create store directory {path!r}: {error.strerror}") from None
        return True
    if is_store(path):
        return False
    if os.listdir(path):
        raise UserError(f"{path!r} is neither a store nor empty; import into a new directory")
    return False


def import_dump(
    dump_path: str,
    store_path: str,
    precision_name: str,
    *,
    append: bool = False,
    stream: TextIO = sys.stderr,
    live: bool | None = None,
) -> ImportStats:
    """Import a dump file (plain or gzip-compressed) into a store directory."""
    import time

    if live is None:
        live = stream.isatty()
    if not os.path.exists(dump_path):
        raise UserError(f"dump file {dump_path!r} does not exist")
    if os.path.isdir(dump_path):
        raise UserError(f"dump file {dump_path!r} is a directory")
    total = os.path.getsize(dump_path)
    if total == 0:
        raise UserError(f"dump file {dump_path!r} is empty")
    precision = precision_from_name(precision_name)
    created = prepare_store_directory(store_path)
    explorer = _explorer(store_path)
    try:
        try:
            existing = object_count(store_path)
        except RuntimeError as error:
            raise UserError(f"cannot open store {store_path!r}: {error}") from None
        if existing and not append:
            raise UserError(
                f"store {store_path!r} already holds {existing:,} objects; "
                "import into a new directory, or pass --append to add to it"
            )
        progress = ReadProgress(total, stream, live)
        try:
            lines = _DumpLines(dump_path, progress)
        except OSError as error:
            raise UserError(f"cannot read dump file {dump_path!r}: {error.strerror}") from None
        started = time.monotonic()
        title = (
            "summarising types" if precision_name == "none"
            else f"computing subtree sizes ({precision_name})"
        )
        phase = Phase(title, stream, live)
        # The import takes its first line once it holds the store's writer lock.
        waiting = writer_wait_notice(store_path, stream)
        try:
            with waiting:
                explorer.import_lines(_with_phase(lines, phase, waiting), precision)
        except RuntimeError as error:
            if not lines.reading_done:
                raise UserError(_bad_line_message(dump_path, lines.lines, str(error))) from None
            raise UserError(failed_import_message(store_path, error, existing)) from None
        except (OSError, EOFError, zlib.error) as error:
            raise UserError(f"cannot read dump file {dump_path!r}: {error}") from None
        finally:
            phase.stop(failed=sys.exc_info()[0] is not None)
            lines.close()
        return ImportStats(lines.lines, total, time.monotonic() - started)
    except BaseException:
        del explorer
        gc.collect()
        if created:
            shutil.rmtree(store_path, ignore_errors=True)
        raise


def _with_phase(lines: _DumpLines, phase: Phase, waiting: WaitNotice) -> Iterator[bytes]:
    waiting.cancel()
    yield from lines
    # The extension commits the lines and computes subtree sizes after the
    # last line has been taken; the phase timer covers that wait.
    phase.start()
