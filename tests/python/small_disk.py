"""A small file system for tests of full disks, mounted with the system call itself (roots
without mount(8) too); root only."""

from __future__ import annotations

import contextlib
import ctypes
import os
import pathlib
from collections.abc import Iterator

_MNT_DETACH = 2


@contextlib.contextmanager
def small_file_system(path: pathlib.Path, kib: int) -> Iterator[pathlib.Path]:
    libc = ctypes.CDLL(None, use_errno=True)
    path.mkdir()
    if libc.mount(b"tmpfs", os.fsencode(path), b"tmpfs", 0, f"size={kib}k".encode()) != 0:
        raise OSError(ctypes.get_errno(), f"cannot mount a file system on {path}")
    try:
        yield path
    finally:
        libc.umount2(os.fsencode(path), _MNT_DETACH)
        path.rmdir()
