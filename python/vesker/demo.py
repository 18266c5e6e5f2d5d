"""`vesker demo`: dump the bundled leaky program, import it exactly, report."""

from __future__ import annotations

import gc
import io
import os
import shutil
import subprocess
import sys
import tempfile

from vesker import demo_program
from vesker.cli_retained import ReferenceNames, compute_retained, open_engine
from vesker.report import build_report, render_report
from vesker.store import UserError, import_dump, is_store, open_store

DUMP_NAME = "demo-heap.jsonl"
STORE_NAME = "demo-store"
_STORE_FILES = {"data.mdb", "lock.mdb"}


class _Discard(io.StringIO):
    """Where a quiet demo's progress lines go."""


def _clear_previous_store(store: str) -> None:
    """A rerun replaces the demo's own store, and nothing that looks otherwise."""
    if not os.path.exists(store):
        return
    if not os.path.isdir(store) or not is_store(store) or set(os.listdir(store)) - _STORE_FILES:
        raise UserError(f"{store!r} exists and is not a store left by an earlier demo")
    shutil.rmtree(store)


def _dump_demo(dump: str, quiet: bool) -> None:
    command = [sys.executable, "-m", "vesker", "dump", "--force", "--output", dump,
               demo_program.__file__]
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise UserError("the demo program failed:\n" + completed.stderr.rstrip())
    if not quiet:
        sys.stderr.write(completed.stderr)


def run_demo(directory: str | None, quiet: bool = False) -> int:
    temporary = directory is None
    workdir = tempfile.mkdtemp(prefix="vesker-demo-") if directory is None else directory
    try:
        if not os.path.isdir(workdir):
            try:
                os.makedirs(workdir)
            except OSError as error:
                raise UserError(f"cannot create {workdir!r}: {error.strerror}") from None
        dump = os.path.join(workdir, DUMP_NAME)
        store = os.path.join(workdir, STORE_NAME)
        _clear_previous_store(store)
        _dump_demo(dump, quiet)
        names = ReferenceNames()  # the report's paths read as the program's own names
        import_dump(dump, store, "exact", live=False if quiet else None, watch=names.watch)
        live = False if quiet else sys.stderr.isatty()
        compute_retained(store, names, sys.stderr if not quiet else _Discard(), live)
        explorer = open_store(store)
        retained = open_engine(store)
        print()
        print(render_report(build_report(explorer, retained=retained)))
        retained.close()
        del explorer
        gc.collect()
        if not temporary:
            print()
            print(f"The dump is {dump} and the store {store}; explore further with e.g.")
            print(f"  vesker top {store} --type __main__.Report")
            print(f"  vesker tree {store}")
    finally:
        if temporary:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0
