"""Opening stores and importing dump files into them, with checks a person needs."""

from __future__ import annotations

import gc
import gzip
import io
import os
import shutil
import stat
import sys
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO, TextIO

from vesker.progress import Phase, ReadProgress
from vesker.store_health import (
    WaitNotice,
    failed_import_message,
    release_empty_store,
    storage_failure,
    writer_wait_notice,
)

if TYPE_CHECKING:
    from vesker.engine import Store
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
    repeated_ids: int = 0
    dangling_references: int = 0


class DumpReadError(Exception):
    """Reading the dump failed (as opposed to writing the store)."""

    def __init__(self, cause: BaseException) -> None:
        super().__init__(str(cause))
        self.cause = cause


class ImportInterrupted(Exception):
    """Ctrl-C after the lines were committed: the store keeps them, without the post-import step."""


STDIN = "-"


class _DumpLines:
    """The records of a dump file or stream, counting lines and reporting the read position.

    Blank lines are skipped (they are not records); `lines` counts them, so that messages name
    the line a person sees in an editor, and `objects` does not.
    """

    def __init__(self, path: str, progress: ReadProgress) -> None:
        self.lines = 0
        self.objects = 0
        self.last_line = b""
        self.bytes_read = 0
        self.reading_done = False
        self._progress = progress
        if path == STDIN:
            self._raw: BinaryIO = open(sys.stdin.fileno(), "rb", buffering=1 << 20, closefd=False)
        else:
            self._raw = open(path, "rb", buffering=1 << 20)
        # A pipe cannot seek back over the magic bytes; a peek reads them without taking them.
        magic = self._raw.peek(2)[:2] if isinstance(self._raw, io.BufferedReader) else b""
        self._handle: gzip.GzipFile | BinaryIO = (
            gzip.GzipFile(fileobj=self._raw, mode="rb") if magic == _GZIP_MAGIC else self._raw
        )
        self._seekable = self._raw.seekable()
        self._consumed = 0

    def close(self) -> None:
        self._handle.close()
        self._raw.close()

    def position(self) -> int:
        return self._raw.tell() if self._seekable else self._consumed

    def __iter__(self) -> Iterator[bytes]:
        try:
            yield from self._lines()
        except (OSError, EOFError, zlib.error) as error:
            # Told apart from what the store's own files report: both reach the import as OSError.
            raise DumpReadError(error) from error

    def _lines(self) -> Iterator[bytes]:
        count = 0
        objects = 0
        next_update = 0
        update = self._progress.update
        seekable = self._seekable
        for line in self._handle:
            count += 1
            if not seekable:
                self._consumed += len(line)
            if line.isspace():
                continue
            objects += 1
            self.lines = count
            self.objects = objects
            self.last_line = line
            if count >= next_update:
                update(self.position(), objects)
                next_update = count + 4096
            yield line
        self.lines = count
        self.bytes_read = self.position()
        self._progress.finish(self.bytes_read, objects)
        self.reading_done = True


_MAX_TYPE_BYTES = 511


def _bad_type_reason(line: bytes) -> str | None:
    """Why a store cannot take the type name of `line` as a key, or None if it can."""
    import json

    try:
        name = json.loads(line).get("type")
    except (ValueError, AttributeError):
        return None
    if not isinstance(name, str):
        return None
    size = len(name.encode("utf-8", "surrogatepass"))
    if size == 0:
        return "its type name is empty"
    if size > _MAX_TYPE_BYTES:
        return (f"its type name is {size:,} bytes long; a store takes type names of at most "
                f"{_MAX_TYPE_BYTES} bytes")
    return None


def _bad_line_message(path: str, line: int, error: RuntimeError, text: bytes) -> str:
    from vesker.errors import BadRecordError, RejectedKeyError

    name = "standard input" if path == STDIN else path
    if isinstance(error, RejectedKeyError):
        reason = _bad_type_reason(text)
        if reason is not None:
            return f"{name}: line {line} cannot be stored: {reason}"
    message = str(error)
    if isinstance(error, BadRecordError) and error.column is not None:
        # The position within the line; the line itself is named before it.
        message = f"{error.reason} at column {error.column}"
    return f"{name}: line {line} is not a heap dump record: {message}"


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
    watch: Callable[[Iterator[bytes]], Iterator[bytes]] | None = None,
) -> ImportStats:
    """Import a dump file (plain or gzip-compressed) into a store directory."""
    import time

    from vesker.sites import SiteCollector, dump_allocation_frames, load
    from vesker.store_facts import engine_store, record_import, record_with_import

    if live is None:
        live = stream.isatty()
    total = _dump_size(dump_path)
    precision = precision_from_name(precision_name)
    created = prepare_store_directory(store_path)
    if not created and is_store(store_path):
        # What a killed import left: its pages, allocated in a file that holds nothing.
        release_empty_store(store_path)
    explorer = _explorer(store_path)
    facts = engine_store(store_path)
    committed = False
    try:
        # Counted from the records: the type summaries lack the objects of an import whose
        # post-import step did not finish.
        existing = facts.object_count()
        if existing and not append:
            raise UserError(
                f"store {store_path!r} already holds {existing:,} objects; "
                "import into a new directory, or pass --append to add to it"
            )
        records_before = existing
        # Appended to a store with sites, a dump without any still replaces the sites of the
        # objects it records again.
        earlier = load(store_path, facts) if existing else None
        frames = dump_allocation_frames(dump_path)
        if frames is None and earlier is not None:
            frames = earlier.frames
        collector = SiteCollector(frames, earlier) if frames is not None else None
        progress = ReadProgress(total, stream, live)
        try:
            lines = _DumpLines(dump_path, progress)
        except OSError as error:
            raise UserError(f"cannot read dump file {dump_path!r}: {error.strerror}") from None
        started = time.monotonic()
        record_with_import(facts, precision_name, dump_path)
        title = (
            "summarising types" if precision_name == "none"
            else f"computing subtree sizes ({precision_name})"
        )
        phase = Phase(title, stream, live)
        # The import takes its first line once it holds the store's writer lock.
        waiting = writer_wait_notice(store_path, stream)
        try:
            source = _with_phase(lines, phase, waiting)
            if collector is not None:
                source = collector.watch(source)
            with waiting:
                explorer.import_lines(source if watch is None else watch(source), precision)
        except DumpReadError as error:
            raise UserError(f"cannot read dump file {dump_path!r}: {error.cause}") from None
        except OSError as error:
            # The store's files: a full disk or an I/O error, never a fault of the line being read.
            doing = (f"writing the first {lines.objects:,} records, sorted, beside the store"
                     if not lines.reading_done else f"merging and committing the {lines.objects:,} objects read")
            raise UserError(failed_import_message(store_path, error, existing, doing, created)) from None
        except RuntimeError as error:
            if not lines.reading_done:
                raise UserError(
                    _bad_line_message(dump_path, lines.lines, error, lines.last_line)
                ) from None
            raise UserError(failed_import_message(store_path, error, existing, "committing", created)) from None
        except KeyboardInterrupt:
            if not lines.reading_done:
                raise
            # The lines were committed before the post-import step began; the step's own
            # transaction was dropped unwritten.
            committed = True
            if explorer.get_type_summaries():  # the signal came as the step ended
                raise ImportInterrupted(
                    f"interrupted as the import ended; the store holds the {lines.objects:,} "
                    "objects with everything computed"
                ) from None
            raise ImportInterrupted(
                f"interrupted while {phase.title}; the store keeps the {lines.objects:,} "
                "imported objects as read, without type summaries or subtree sizes "
                "(import the dump again into a new directory to have them)"
            ) from None
        finally:
            phase.stop(failed=sys.exc_info()[0] is not None)
            lines.close()
        if lines.objects == 0:
            raise UserError(f"dump {_dump_name(dump_path)} is empty")
        try:
            check = record_import(facts, records_before, lines.objects)
        except OSError as error:
            committed = True
            raise UserError(
                f"import into {store_path!r} failed while recording how the store was built: "
                f"{storage_failure(error)}; committed: the dump's {lines.objects:,} objects with their "
                "type summaries, subtree sizes and the store's facts; not committed: the count of repeated ids"
            ) from None
        if collector is not None:
            try:
                collector.save(store_path, facts)
            except OSError as error:
                committed = True
                raise UserError(f"import into {store_path!r} could not keep the dump's allocation sites: "
                                f"{storage_failure(error)}; the objects were committed") from None
        return ImportStats(lines.objects, lines.bytes_read, time.monotonic() - started,
                           check.repeated_ids, check.dangling_references)
    except BaseException:
        facts.record_with_next_import(None)  # what a failed import left unwritten
        # A directory this import created goes only when nothing was committed in it.
        committed = committed or _holds_objects(facts)
        facts.close()  # before the files go: the environment is shared with the explorer
        del explorer
        gc.collect()
        if created and not committed:
            shutil.rmtree(store_path, ignore_errors=True)
        elif not committed:
            release_empty_store(store_path)  # the pages this import took, in a directory it did not create
        raise
    finally:
        facts.close()


def _holds_objects(facts: Store) -> bool:
    try:
        return facts.object_count() > 0
    except (RuntimeError, OSError):
        return True  # unreadable: keep it for a person to look at


def _dump_name(path: str) -> str:
    return "on standard input" if path == STDIN else f"file {path!r}"


def _dump_size(path: str) -> int:
    """The size of a regular dump file; 0 for a pipe or terminal, whose size is unknown."""
    if path == STDIN:
        return 0
    try:
        status = os.stat(path)
    except FileNotFoundError:
        raise UserError(f"dump file {path!r} does not exist") from None
    except OSError as error:
        raise UserError(f"cannot read dump file {path!r}: {error.strerror}") from None
    if stat.S_ISDIR(status.st_mode):
        raise UserError(f"dump file {path!r} is a directory")
    if stat.S_ISREG(status.st_mode) and status.st_size == 0:
        raise UserError(f"dump file {path!r} is empty")
    return status.st_size if stat.S_ISREG(status.st_mode) else 0


def _with_phase(lines: _DumpLines, phase: Phase, waiting: WaitNotice) -> Iterator[bytes]:
    waiting.cancel()
    yield from lines
    # The extension commits the lines and computes subtree sizes after the
    # last line has been taken; the phase timer covers that wait.
    phase.start()
