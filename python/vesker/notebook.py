"""`%load_ext vesker` in IPython or Jupyter: `%vesker_dump [DIR]` dumps the running kernel from a
forked copy of it (the kernel pauses only for the fork), imports the dump with exact subtree and
retained sizes into a store in DIR (a new temporary directory without one), and answers with the
opened `Heap`, which a notebook shows as its overview: `heap = %vesker_dump`.
"""

from __future__ import annotations

import io
import os
import shlex
import tempfile
from typing import Any

from vesker.heap import Heap
from vesker.store import UserError

DUMP_NAME = "kernel.heap.jsonl"
STORE_NAME = "store"


def dump_kernel(directory: str | None = None) -> Heap:
    """Dumps this process from a forked copy, imports the dump into DIRECTORY/store, opens it."""
    from vesker.dumper import fork_dump
    from vesker.retained_sizes import ReferenceNames, compute_retained
    from vesker.store import import_dump

    where = tempfile.mkdtemp(prefix="vesker-kernel-") if directory is None else directory
    os.makedirs(where, exist_ok=True)
    dump = os.path.join(where, DUMP_NAME)
    store = os.path.join(where, STORE_NAME)
    if os.path.lexists(dump) or os.path.exists(store):
        raise UserError(f"{where!r} holds a dump or a store already; give another directory")
    child = fork_dump(dump, distinct=False, reap=False)
    _, status = os.waitpid(child, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0 or not os.path.exists(dump):
        raise UserError(f"the forked copy of the kernel could not write {dump!r}")
    names = ReferenceNames()
    quiet = io.StringIO()
    import_dump(dump, store, "exact", stream=quiet, live=False, watch=names.watch)
    compute_retained(store, names, quiet, False)
    return Heap(store)


def vesker_dump(line: str) -> Heap:
    """%vesker_dump [DIR]: dump this kernel's heap and show its overview."""
    arguments = shlex.split(line)
    if len(arguments) > 1:
        raise UserError("usage: %vesker_dump [DIR]")
    return dump_kernel(arguments[0] if arguments else None)


def register(ipython: Any) -> None:
    ipython.register_magic_function(vesker_dump, magic_kind="line", magic_name="vesker_dump")
