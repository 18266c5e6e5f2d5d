"""What the command line tells about a store beyond the explorer's answers: waits, counts, damage."""

from __future__ import annotations

import errno
import os
import sys
import threading
from typing import TextIO

# LMDB reports a write that the disk could not take in full as an I/O error; what is left on the
# file system tells whether that was a full disk.
_NEARLY_FULL_BYTES = 1 << 20


class WaitNotice:
    """Says what an operation waits for when it has not got going after a moment.

    Opening a new store and starting an import both wait, without a word from LMDB, while another
    process writes to the store.
    """

    def __init__(self, text: str, stream: TextIO = sys.stderr, delay: float = 1.0) -> None:
        self._timer = threading.Timer(delay, self._say, (text, stream))
        self._timer.daemon = True

    @staticmethod
    def _say(text: str, stream: TextIO) -> None:
        print(text, file=stream, flush=True)

    def __enter__(self) -> WaitNotice:
        self._timer.start()
        return self

    def cancel(self) -> None:
        self._timer.cancel()

    def __exit__(self, *exc_info: object) -> None:
        self.cancel()


def writer_wait_notice(store_path: str, stream: TextIO = sys.stderr) -> WaitNotice:
    return WaitNotice(
        f"vesker: waiting for another process that writes to store {store_path!r} to finish", stream
    )


def object_count(store_path: str) -> int:
    """The number of object records stored, read from the records themselves.

    The type summaries are written by the step after the line import; a store whose import
    stopped between the two holds objects that the summaries do not count.
    """
    from vesker.engine import Store

    with Store(store_path) as store:
        return store.object_count()


def disk_is_full(path: str) -> bool:
    try:
        status = os.statvfs(path)
    except OSError:
        return False
    return status.f_bavail * status.f_frsize < _NEARLY_FULL_BYTES


_DISK_FULL = (errno.ENOSPC, errno.EDQUOT)
_STORE_FILES = ("data.mdb", "lock.mdb")


def holds_nothing(store_path: str) -> bool:
    """Whether the store holds no record, no fact and no reference name: what an import that was
    killed or failed before its first commit leaves. False when it cannot be read."""
    from vesker.engine import Store

    try:
        with Store(store_path) as store:
            return store.object_count() == 0 and not store.metadata() and store.named_object_count() == 0
    except (RuntimeError, OSError):
        return False


def disk_bytes(store_path: str) -> int:
    """What the store's data file takes on disk (an import's pages stay allocated after it failed)."""
    try:
        return os.stat(os.path.join(store_path, "data.mdb")).st_blocks * 512
    except OSError:
        return 0


def _mapped_here(store_path: str) -> bool:
    """Whether this process has the store open: closing a descriptor of its lock file here would
    drop the lock LMDB holds for it, so the lock test below is for other processes only."""
    data = os.path.realpath(os.path.join(store_path, "data.mdb"))
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            return any(line.rstrip("\n").endswith(" " + data) for line in maps)
    except OSError:
        return True  # cannot tell: assume it is


def release_empty_store(store_path: str) -> bool:
    """Removes the files of a store that holds nothing, giving back the space that its failed or
    killed import took (LMDB never shrinks a data file). Every environment of this process on it
    must be closed. False, touching nothing, when another process has the store open: LMDB holds a
    lock on the lock file's first byte in every process that has it open, which this takes first."""
    import fcntl

    if not holds_nothing(store_path) or _mapped_here(store_path):
        return False
    try:
        lock = os.open(os.path.join(store_path, "lock.mdb"), os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW)
    except FileNotFoundError:
        lock = None
    try:
        if lock is not None:
            try:
                fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)
            except OSError:
                return False
        for name in _STORE_FILES:
            try:
                os.unlink(os.path.join(store_path, name))
            except FileNotFoundError:
                pass
        return True
    finally:
        if lock is not None:
            os.close(lock)


def is_disk_full(error: OSError) -> bool:
    return error.errno in _DISK_FULL


def storage_failure(error: OSError) -> str:
    """A failed write of a store's files, named for what it is: a full disk above all."""
    if is_disk_full(error):
        return f"the disk is full ({os.strerror(error.errno or 0)})"
    return f"writing the store failed: {error.strerror or error}"


def failed_import_message(
    store_path: str, error: BaseException, before: int | None, phase: str, created: bool = False
) -> str:
    """What a failed import committed and what it did not; `phase` says what it was doing."""
    cause = storage_failure(error) if isinstance(error, OSError) else str(error)
    text = f"import into {store_path!r} failed while {phase}: {cause}"
    try:
        after: int | None = object_count(store_path)
    except (RuntimeError, OSError):
        after = None
    if before is None or after is None:
        committed = "what was committed is unknown: the store cannot be read"
    elif after != before:
        committed = (
            f"committed: the dump's objects (the store holds {after:,}, {after - before:,} more than before); "
            "not committed: the type summaries and subtree sizes of this import"
        )
    elif created and after == 0:
        committed = "nothing was committed, so the store directory it created is removed"
    else:
        committed = "nothing of this import was committed"
    full = "; the disk is full" if not isinstance(error, OSError) and disk_is_full(store_path) else ""
    return f"{text}{full}; {committed}"
