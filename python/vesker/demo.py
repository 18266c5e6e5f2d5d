"""`vesker demo`: dump the bundled leaky program, import it exactly, report."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import tempfile
from typing import TYPE_CHECKING

from vesker import demo_program
from vesker.heap import Heap
from vesker.retained_sizes import ReferenceNames, compute_retained
from vesker.formatting import format_bytes
from vesker.report import build_report, render_report
from vesker.sites import OBJECTS_FILE, describe_frames, site_report
from vesker.sites import load as load_sites
from vesker.store import UserError, import_dump, is_store

if TYPE_CHECKING:
    from vesker.engine import Store

DUMP_NAME = "demo-heap.jsonl"
STORE_NAME = "demo-store"
_STORE_FILES = {"data.mdb", "lock.mdb", OBJECTS_FILE}


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
    command = [sys.executable, "-m", "vesker", "dump", "--force", "--trace-allocations", "--output", dump,
               demo_program.__file__]
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise UserError("the demo program failed:\n" + completed.stderr.rstrip())
    if not quiet:
        sys.stderr.write(completed.stderr)


def _sites_part(store_path: str, store: Store) -> str:
    """Where the objects that keep the most memory were made: the sites of many objects (a
    single container made at one line holds all of a leak, and says less)."""
    table = load_sites(store_path, store)
    if table is None:
        return "The dump recorded no allocation sites."
    many = [site for site in site_report(store, table)["sites"] if site["count"] > 1]
    many.sort(key=lambda site: -site["retained"])
    holders = sorted({h["id"] for site in many[:3] for h in site["holders"][:1] if h["id"]})
    labels = dict(zip(holders, store.labels(holders))) if holders else {}
    lines = ["Where they were made (allocation sites of many objects, by retained size):"]
    for site in many[:3]:
        held = site["holders"][0]["id"] if site["holders"] else 0
        lines.append(f"  {site['count']:,} objects, {format_bytes(site['retained'])} retained, made at "
                     f"{describe_frames(site['frames'])}, held by {labels.get(held) or 'the roots'}")
    return "\n".join(lines)


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
        with Heap(store) as heap:
            print()
            print(render_report(build_report(heap.explorer, retained=heap.engine,
                                             sites=load_sites(store, heap.engine))))
            print()
            print(_sites_part(store, heap.engine))
        if not temporary:
            print()
            print(f"The dump is {dump} and the store {store}; explore further with e.g.")
            print(f"  vesker top {store} --type __main__.Report")
            print(f"  vesker tree {store}")
    finally:
        if temporary:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0
