"""The import and the subtree-size step at scale, beside their peers, in one run.

For each size of --objects (2.5 and 10 million by default) a generated dump
shaped like a real heap (generate_dump.py: a large strongly connected ring,
deep chains, hub objects, modules, many small strings) is measured, every run
in a child process of its own so that its memory is its own:

- `import_lines(file, NoEstimates)` against a SQLite bulk load from Python
  (sqlite_import_peer.py). Target: at least 3.5x faster (wall), with peak
  anonymous memory at most 512 MiB beyond the store's pages (LMDB holds the
  pages a write transaction dirtied in anonymous memory, up to 512 MiB, before
  they reach the file: those are subtracted, up to the store's size);
- from the dump file to a store with exact subtree sizes (`import_lines(file,
  Exact)`) against the plain-Python in-memory computation (subtree_peer.py),
  which stores nothing. Target: at least 2.5x faster (wall);
- the post-import step alone at Exact and at High, on copies of the imported
  store (`import_lines([], precision)` runs the step over what the store
  holds): peak anonymous memory per object, target at most 300 bytes at ten
  million objects; High no slower than Exact.

Memory is sampled every 5 ms from outside each child: anonymous memory
(RssAnon, the process's own, LMDB's copies of the pages a write transaction
dirtied included) apart from the mapped store pages (RssFile), each as its
peak above what the child held before the measured call.

- the retained-size step alone (`vesker.engine.Store.compute_retained`) on a
  copy of the exact store: its whole call's peak anonymous memory per object,
  target at most 80 bytes at ten million objects;
- `vesker import` end to end (import, exact subtree sizes, names, retained
  sizes), with each phase's time and share as the command reports them.

Real dumps given with --dump (plain JSON Lines; decompress a .gz once) are
measured the same way beside the generated ones, with the targets of real
heaps: the import at least 7x the SQLite load, dump to exact sizes at least
3.5x the plain-Python peer. Run the peers under the fastest CPython here
(--python; Debian's /usr/bin/python3 3.11 with a venv of it, at this writing).

With --fifty-million, a dump of 50 million objects is imported by `vesker
import` with retained sizes (or at --fifty-million-precision), with its time
and its peak memory (target: within this machine's 24 GiB). With --rounds N
every pair runs N times alternately and medians are printed; a ratio is the
median of the rounds' own ratios, each shown beside it. Generated dumps are
kept in --dump-dir and reused.

    python bench/python/scale_benchmark.py [--objects 2500000 10000000] [--dump REAL.jsonl]
        [--rounds 1] [--fifty-million] [--dump-dir /tmp/vesker-bench] [--skip-peers] [--skip-cli]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from import_benchmark import dump_path, ensure_python_has_module, print_table, verdict  # noqa: E402

BENCH_PYTHON = Path(__file__).resolve().parent
DEFAULT_DUMP_DIR = Path("/tmp/vesker-bench")
MIB = 1 << 20
GIB = 1 << 30
LMDB_DIRTY_PAGES_CAP = 131_072 * 4096

# Shared by every child: times the measured call and prints one JSON line with the figures. The
# memory is sampled by the parent, from outside: a sampling thread in the child would compete for
# the interpreter lock with the very thread that imports.
CHILD_PRELUDE = f"""
import json, sys, time
sys.path.insert(0, {str(BENCH_PYTHON)!r})

def memory():
    found = {{}}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "RssFile", "RssShmem"):
                found[key] = int(value.split()[0]) * 1024
    return found

class Measured:
    def __enter__(self):
        self.before = memory()
        self.wall, self.cpu = time.perf_counter(), time.process_time()
        return self
    def __exit__(self, *exc):
        wall, cpu = time.perf_counter() - self.wall, time.process_time() - self.cpu
        print(json.dumps({{"wall": wall, "cpu": cpu, "anon_before": self.before["RssAnon"],
                          "file_before": self.before["RssFile"] + self.before["RssShmem"]}}))
"""

IMPORT_CHILD = CHILD_PRELUDE + """
import vesker_analysis
store, dump, precision = sys.argv[1], sys.argv[2], sys.argv[3]
explorer = vesker_analysis.HeapDumpExplorer(store)
precision = getattr(vesker_analysis.EstimatorPrecision, precision)
with open(dump, "rb", buffering=1 << 20) as lines, Measured():
    explorer.import_lines(lines, precision)
"""

STEP_CHILD = CHILD_PRELUDE + """
import vesker_analysis
store, precision = sys.argv[1], sys.argv[2]
explorer = vesker_analysis.HeapDumpExplorer(store)
precision = getattr(vesker_analysis.EstimatorPrecision, precision)
with Measured():
    explorer.import_lines([], precision)  # no lines: the step alone, over what the store holds
"""

SQLITE_CHILD = CHILD_PRELUDE + """
from sqlite_import_peer import sqlite_bulk_load
with Measured():
    sqlite_bulk_load(sys.argv[1], sys.argv[2])
"""

RETAINED_CHILD = CHILD_PRELUDE + """
from vesker import engine
store = engine.Store(sys.argv[1])
with Measured():
    store.compute_retained()
"""

# The command itself, with its phase report (printed before the figures' line).
CLI_CHILD = CHILD_PRELUDE + """
import contextlib, io
from vesker import cli
report = io.StringIO()
with contextlib.redirect_stderr(report), Measured():
    code = cli.main(["import", sys.argv[1], sys.argv[2], "-q", "--profile", "--precision", sys.argv[3]])
lines = report.getvalue().splitlines()
start = next((n for n, line in enumerate(lines) if line.startswith("phases:")), len(lines))
sys.stdout.write("\\n".join(lines[start:]) + "\\n")
sys.stdout.flush()
sys.exit(code)
"""

PEER_CHILD = CHILD_PRELUDE + """
from subtree_peer import exact_subtree_sizes, read_records
with Measured():
    exact_subtree_sizes(read_records(sys.argv[1]))
"""


class Figures(NamedTuple):
    wall: float
    cpu: float
    anon: int  # peak above the start of the measured call, bytes
    file: int
    hwm: int  # the child's peak resident set, bytes

    @staticmethod
    def median(runs: list[Figures]) -> Figures:
        return Figures(*(statistics.median(values) for values in zip(*runs)))


def child_memory(pid: int) -> dict[str, int]:
    found = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "RssFile", "RssShmem", "VmHWM"):
                found[key] = int(value.split()[0]) * 1024
    return found


def run_measured(command: list[str], output: list[str] | None = None) -> Figures:
    """Runs a child, sampling its memory every 5 ms from here, and combines both reports; the
    child's other lines of output go to `output`."""
    peaks = {"anon": 0, "file": 0, "hwm": 0}
    done = threading.Event()
    started = threading.Event()
    pid: list[int] = []

    def sample() -> None:
        started.wait()
        while True:
            try:
                now = child_memory(pid[0])
            except (OSError, KeyError, IndexError):  # gone, or a zombie without its memory lines
                now = None
            if now:
                peaks["anon"] = max(peaks["anon"], now["RssAnon"])
                peaks["file"] = max(peaks["file"], now["RssFile"] + now["RssShmem"])
                peaks["hwm"] = max(peaks["hwm"], now["VmHWM"])
            if done.wait(0.005):
                return

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, stdout=out, stderr=err)
        pid.append(process.pid)
        started.set()
        code = process.wait()
        done.set()
        sampler.join()
        out.seek(0)
        err.seek(0)
        if code != 0:
            sys.stderr.write(err.read())
            raise SystemExit(f"{' '.join(command[:3])} ... failed with exit code {code}")
        printed = out.read().splitlines()
        report = json.loads([line for line in printed if line.startswith("{")][-1])
        if output is not None:
            output.extend(line for line in printed if line.strip() and not line.startswith("{"))
    return Figures(report["wall"], report["cpu"], peaks["anon"] - report["anon_before"],
                   peaks["file"] - report["file_before"], peaks["hwm"])


def run_import(python: str, dump: Path, store: Path, precision: str) -> Figures:
    shutil.rmtree(store, ignore_errors=True)
    store.mkdir(parents=True)
    return run_measured([python, "-c", IMPORT_CHILD, str(store), str(dump), precision])


def run_step(python: str, imported: Path, scratch: Path, precision: str) -> Figures:
    shutil.rmtree(scratch, ignore_errors=True)
    shutil.copytree(imported, scratch)
    try:
        return run_measured([python, "-c", STEP_CHILD, str(scratch), precision])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_retained(python: str, exact_store: Path, scratch: Path) -> Figures:
    """Runs the step on the exact store itself, moved aside (nothing reads it afterwards): a copy
    would take another store's room on the disk, gigabytes at ten million objects."""
    shutil.rmtree(scratch, ignore_errors=True)
    exact_store.rename(scratch)
    try:
        return run_measured([python, "-c", RETAINED_CHILD, str(scratch)])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_cli_import(python: str, dump: Path, store: Path, precision: str, report: list[str]) -> Figures:
    shutil.rmtree(store, ignore_errors=True)
    try:
        return run_measured([python, "-c", CLI_CHILD, str(dump), str(store), precision], report)
    finally:
        shutil.rmtree(store, ignore_errors=True)


def count_lines(dump: Path) -> int:
    with open(dump, "rb", buffering=1 << 20) as lines:
        return sum(1 for line in lines if not line.isspace())


def measure_size(args: argparse.Namespace, objects: int, dump: Path | None = None) -> None:
    real = dump is not None
    if dump is None:
        dump = dump_path(args.dump_dir, objects, args.seed)
    kind = "real dump" if real else "generated"
    print(f"\n=== {objects:,} objects ({kind}): {dump} ({dump.stat().st_size / MIB:,.0f} MiB)", flush=True)
    runs: dict[str, list[Figures]] = {}
    cli_report: list[str] = []

    def record(name: str, figures: Figures) -> None:
        runs.setdefault(name, []).append(figures)
        print(f"  {name}: {figures.wall:.1f} s wall, {figures.cpu:.1f} s CPU, "
              f"anon +{figures.anon / MIB:,.0f} MiB, mapped +{figures.file / MIB:,.0f} MiB", flush=True)

    store_bytes = 0
    with tempfile.TemporaryDirectory(dir=args.dump_dir, prefix="scale-bench-") as scratch_dir:
        scratch = Path(scratch_dir)
        imported = scratch / "imported"
        for round_number in range(args.rounds):
            # Alternate the order of each pair so that neither side always runs on a warmer machine.
            flip = round_number % 2 == 1
            pairs = [
                [("import_lines NoEstimates", lambda: run_import(args.python, dump, imported, "NoEstimates")),
                 ("SQLite bulk load", lambda: run_measured(
                     [args.python, "-c", SQLITE_CHILD, str(dump), str(scratch / "peer.sqlite")]))],
                [("import_lines Exact (dump to exact sizes)",
                  lambda: run_import(args.python, dump, scratch / "exact", "Exact")),
                 ("plain-Python exact sizes", lambda: run_measured([args.python, "-c", PEER_CHILD, str(dump)]))],
            ]
            for pair in pairs:
                if args.skip_peers:
                    pair = pair[:1]
                for name, run in reversed(pair) if flip else pair:
                    record(name, run())
            store_bytes = sum(path.stat().st_size for path in imported.iterdir())
            record("retained step", run_retained(args.python, scratch / "exact", scratch / "retained"))
            shutil.rmtree(scratch / "exact", ignore_errors=True)
            if not args.skip_cli:
                cli_report.clear()
                record("vesker import (exact, retained)", run_cli_import(args.python, dump, scratch / "cli", "exact",
                                                                         cli_report))
            (scratch / "peer.sqlite").unlink(missing_ok=True)
            steps = [] if args.skip_steps else [("step Exact", "Exact"), ("step High", "High")]
            for name, precision in reversed(steps) if flip else steps:
                record(name, run_step(args.python, imported, scratch / "step", precision))

    median = {name: Figures.median(figures) for name, figures in runs.items()}
    label = f"median of {args.rounds}" if args.rounds > 1 else "one run"
    print(f"\n{objects:,} objects ({label}):")
    print_table(["", "wall s", "CPU s", "anon peak MiB", "anon B/object", "mapped peak MiB"],
                [[name, f"{f.wall:.2f}", f"{f.cpu:.2f}", f"{f.anon / MIB:,.0f}", f"{f.anon / objects:.0f}",
                  f"{f.file / MIB:,.0f}"] for name, f in median.items()])
    if cli_report:
        print(f"\nvesker import (exact, retained), the last run's report:")
        for line in cli_report:
            print("  " + line)
    imported_run = median["import_lines NoEstimates"]
    checks = []
    if not args.skip_peers:
        # Each round runs a pair back to back, so its ratio is taken within the round: this machine's
        # speed drifts by as much as two times over minutes, which a ratio of medians would mix in.
        def ratios(peer: str, ours: str, field: str) -> list[float]:
            return [getattr(theirs, field) / getattr(mine, field) for theirs, mine in zip(runs[peer], runs[ours])]

        def shown(values: list[float]) -> str:
            return f"{statistics.median(values):.2f}x" + (
                f" ({', '.join(f'{v:.2f}' for v in values)})" if len(values) > 1 else "")

        # Real heaps have the targets of their own; the generated dumps keep the earlier ones.
        import_target, exact_target = (7.0, 3.5) if real else (3.5, 2.5)
        exact_name = "import_lines Exact (dump to exact sizes)"
        import_wall = ratios("SQLite bulk load", "import_lines NoEstimates", "wall")
        exact_wall = ratios("plain-Python exact sizes", exact_name, "wall")
        checks += [
            ("SQLite load / import_lines (wall)", shown(import_wall), f">= {import_target}x",
             statistics.median(import_wall) >= import_target),
            ("  the same on CPU time", shown(ratios("SQLite bulk load", "import_lines NoEstimates", "cpu")), "-", True),
            ("plain Python / dump to exact (wall)", shown(exact_wall), f">= {exact_target}x",
             statistics.median(exact_wall) >= exact_target),
            ("  the same on CPU time", shown(ratios("plain-Python exact sizes", exact_name, "cpu")), "-", True),
        ]
    retained = median["retained step"]
    checks.append(("retained step peak anonymous memory", f"{retained.anon / objects:.0f} B/object",
                   "<= 80 B/object" if objects >= 10_000_000 else "-", retained.anon / objects <= 80))
    exact, high = median.get("step Exact"), median.get("step High")
    # LMDB keeps the pages a write transaction dirtied in anonymous memory, copies of the store's
    # pages, until it commits or until 131,072 of them (512 MiB of 4 KiB pages, a constant of
    # LMDB 0.9) make it spill some to the file. Those are the store's pages, only not mapped yet.
    lmdb_dirty = min(LMDB_DIRTY_PAGES_CAP, store_bytes)
    beyond = imported_run.anon - lmdb_dirty
    checks += [
        ("import_lines peak anonymous memory", f"{imported_run.anon / MIB:,.0f} MiB", "-", True),
        ("... beyond LMDB's dirtied store pages", f"{beyond / MIB:,.0f} MiB", "<= 512 MiB", beyond <= 512 * MIB),
    ]
    if exact is not None and high is not None:
        checks += [
            ("exact step peak anonymous memory", f"{exact.anon / objects:.0f} B/object", "<= 300 B/object",
             exact.anon / objects <= 300),
            ("step High / step Exact (wall)", f"{high.wall / exact.wall:.2f}", "<= 1.0", high.wall <= exact.wall),
        ]
    print()
    print_table(["check", "measured", "target", ""], [[name, value, target, verdict(ok) if target != "-" else ""]
                                                       for name, value, target, ok in checks])


def measure_fifty_million(args: argparse.Namespace) -> None:
    objects = 50_000_000
    dump = dump_path(args.dump_dir, objects, args.seed)
    precision = args.fifty_million_precision
    print(f"\n=== {objects:,} objects, vesker import at {precision} with retained sizes: {dump} "
          f"({dump.stat().st_size / GIB:,.1f} GiB)", flush=True)
    report: list[str] = []
    with tempfile.TemporaryDirectory(dir=args.dump_dir, prefix="scale-bench-") as scratch:
        store = Path(scratch, "store")
        figures = run_measured([args.python, "-c", CLI_CHILD, str(dump), str(store), precision], report)
        store_bytes = sum(p.stat().st_size for p in store.iterdir())
    print_table(["", "wall s", "CPU s", "peak resident GiB", "anon peak GiB", "mapped peak GiB", "store GiB"],
                [[f"vesker import {precision}", f"{figures.wall:.1f}", f"{figures.cpu:.1f}", f"{figures.hwm / GIB:.2f}",
                  f"{figures.anon / GIB:.2f}", f"{figures.file / GIB:.2f}", f"{store_bytes / GIB:.2f}"]])
    for line in report:
        print("  " + line)
    print(f"\nwithin 24 GiB: {verdict(figures.hwm <= 24 * GIB)}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, nargs="*", default=[2_500_000, 10_000_000],
                        help="generated dump sizes (none: the real dumps alone)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--dump", type=Path, action="append", default=[],
                        help="a real dump (plain JSON Lines) measured beside the generated ones")
    parser.add_argument("--fifty-million", action="store_true",
                        help="only the 50-million-object `vesker import` with retained sizes")
    parser.add_argument("--fifty-million-precision", default="exact", help="its subtree-size precision")
    parser.add_argument("--skip-peers", action="store_true", help="leave out SQLite and the Python peer")
    parser.add_argument("--skip-steps", action="store_true", help="leave out the post-import step alone")
    parser.add_argument("--skip-cli", action="store_true", help="leave out `vesker import` end to end")
    parser.add_argument("--python", default=sys.executable, help="interpreter with vesker_analysis installed")
    parser.add_argument("--dump-dir", type=Path, default=DEFAULT_DUMP_DIR)
    args = parser.parse_args(argv)
    ensure_python_has_module(args.python)
    args.dump_dir.mkdir(parents=True, exist_ok=True)
    print(f"python: {args.python}; load average {os.getloadavg()[0]:.1f} at the start", flush=True)
    if args.fifty_million:
        measure_fifty_million(args)
    else:
        for real in args.dump:
            measure_size(args, count_lines(real), real)
        for objects in args.objects:
            measure_size(args, objects)
    print(f"\nload average {os.getloadavg()[0]:.1f} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
