"""The import beside its floor and its peer, measured in one run on a generated dump.

Prints, for the generated dump of --objects objects (one million by default):

- `import_lines` from Python: the dump file opened 'rb' streamed into a new
  store with EstimatorPrecision.NoEstimates, in a child process of its own;
- the same import through the C++ LineImporter, and the floor: the same rows,
  decoded beforehand, put with plain mdb_put in input order in one
  transaction (both from bench/cpp/store_benchmark);
- a SQLite bulk load of the same dump (sqlite_import_peer.py), in a child
  process of its own;

with wall and CPU time, records/s, MB/s and peak memory per object, then the
ratios SQLite time / import_lines time (target >= 3) and floor time /
import_lines time (target >= 1.0), once on CPU time and once on wall time.
The machine may be shared: CPU time is what the process itself spent, wall
time also holds the time it waited for a core or for the disk.

    python bench/python/import_benchmark.py [--objects 1000000] [--python PY]
        [--build-dir build/cpp] [--dump-dir /tmp/vesker-bench]

--python is the interpreter that runs import_lines; it needs vesker_analysis
installed (default: the one running this script). The store_benchmark binary
is configured and built in --build-dir when needed; generated dumps are kept
in --dump-dir and reused.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

BENCH_PYTHON = Path(__file__).resolve().parent
PROJECT = BENCH_PYTHON.parents[1]
DEFAULT_BUILD_DIR = PROJECT / "build" / "cpp"
DEFAULT_DUMP_DIR = Path("/tmp/vesker-bench")
MIB = 1 << 20


# ---------------------------------------------------------------------------
# Pieces shared with post_import_benchmark.py


class ChildRun(NamedTuple):
    """What a child process printed and what the kernel says it used."""

    stdout: str
    wall_seconds: float
    cpu_seconds: float  # user + system of the whole child
    peak_rss_bytes: int

    def last_json(self) -> dict:
        lines = [line for line in self.stdout.splitlines() if line.strip()]
        return json.loads(lines[-1])


def run_child(command: list[str], *, env: dict[str, str] | None = None, cwd: str | None = None) -> ChildRun:
    """Run a child to completion; its own rusage comes from wait4, so runs never mix."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env, cwd=cwd)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if process.returncode != 0:
            sys.stderr.write(err.read())
            raise SystemExit(f"{' '.join(command[:3])} ... failed with exit code {process.returncode}")
        return ChildRun(out.read(), wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024)


def dump_path(dump_dir: Path, objects: int, seed: int) -> Path:
    """The generated dump of that size, written once and reused afterwards."""
    path = dump_dir / f"generated-{objects}-seed{seed}.jsonl"
    if path.exists():
        return path
    dump_dir.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    print(f"generating {path} ({objects} objects) ...", flush=True)
    started = time.perf_counter()
    subprocess.run([sys.executable, str(BENCH_PYTHON / "generate_dump.py"), str(partial),
                    "--objects", str(objects), "--seed", str(seed)], check=True, stdout=subprocess.DEVNULL)
    partial.rename(path)  # a run stopped halfway never leaves a dump that looks complete
    print(f"generated in {time.perf_counter() - started:.0f} s", flush=True)
    return path


def store_benchmark_binary(build_dir: Path) -> Path:
    """Configure (if needed) and build store_benchmark; building an up-to-date tree is a no-op."""
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(PROJECT), "-B", str(build_dir), "-G", "Ninja",
                        "-DVESKER_BUILD_PYTHON_MODULE=OFF", "-DVESKER_BUILD_TESTS=ON",
                        "-DVESKER_BUILD_BENCHMARKS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j", "2", "--target", "store_benchmark"],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "bench" / "cpp" / "store_benchmark"


class CppRun(NamedTuple):
    name: str
    wall_seconds: float
    cpu_seconds: float
    objects_per_s: float
    mb_per_s: float
    peak_bytes_per_object: float
    process_peak_rss_bytes: int
    # Sampled growth of the anonymous and the file-backed resident set (where the benchmark reports them).
    peak_anon_bytes_per_object: float | None = None
    peak_file_bytes_per_object: float | None = None


def run_store_benchmark(binary: Path, dump: Path, scratch: Path, benchmark_filter: str,
                        repetitions: int = 1) -> list[CppRun]:
    """One store_benchmark process; with repetitions, only the last run of each benchmark counts."""
    env = dict(os.environ, VESKER_BENCH_DUMP=str(dump), TMPDIR=str(scratch))
    command = [str(binary), f"--benchmark_filter={benchmark_filter}", "--benchmark_format=json"]
    if repetitions > 1:
        command.append(f"--benchmark_repetitions={repetitions}")
    child = run_child(command, env=env)
    last: dict[str, dict] = {}
    # A filter that matches nothing leaves stdout empty.
    for entry in json.loads(child.stdout)["benchmarks"] if child.stdout.strip() else []:
        if entry.get("run_type", "iteration") == "iteration":
            last[entry["run_name"]] = entry
    if not last:
        raise SystemExit(f"no benchmark matched {benchmark_filter!r}")
    runs = []
    for name, entry in last.items():
        to_seconds = _UNIT_SECONDS[entry["time_unit"]]
        runs.append(CppRun(name.split("/")[0] + _argument_suffix(name), entry["real_time"] * to_seconds,
                           entry["cpu_time"] * to_seconds, entry["objects_per_s"], entry["MB_per_s"],
                           entry["peak_bytes_per_object"], child.peak_rss_bytes,
                           entry.get("peak_anon_bytes_per_object"), entry.get("peak_file_bytes_per_object")))
    return runs


_UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def _argument_suffix(name: str) -> str:
    # "PostImport/precision:2/iterations:1/real_time" -> "/precision:2"
    parts = [part for part in name.split("/")[1:] if not part.startswith("iterations:") and part != "real_time"]
    return "".join("/" + part for part in parts)


def format_rate(value: float) -> str:
    return f"{value:,.0f}"


def print_table(header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    line = "  ".join(cell.ljust(widths[0]) if n == 0 else cell.rjust(widths[n]) for n, cell in enumerate(header))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join(cell.ljust(widths[0]) if n == 0 else cell.rjust(widths[n]) for n, cell in enumerate(row)))


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def memory_status() -> dict[str, int]:
    """VmRSS and VmHWM of this process, in bytes."""
    found = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                found[key] = int(value.split()[0]) * 1024
    return found


def ensure_python_has_module(python: str) -> None:
    probe = subprocess.run([python, "-c", "import vesker_analysis"], capture_output=True, text=True,
                           cwd=tempfile.gettempdir())
    if probe.returncode != 0:
        raise SystemExit(f"{python} cannot import vesker_analysis; install it with "
                         f"`{python} -m pip install --no-build-isolation {PROJECT}`\n{probe.stderr}")


# ---------------------------------------------------------------------------
# The import


# Run by the --python interpreter; prints one JSON line. Timing starts once the
# module is imported and the store is open, and ends when import_lines returns.
IMPORT_CHILD = f"""
import json, sys, time
sys.path.insert(0, {str(BENCH_PYTHON)!r})
from import_benchmark import memory_status
import vesker_analysis
store, dump = sys.argv[1], sys.argv[2]
explorer = vesker_analysis.HeapDumpExplorer(store)
before = memory_status()
wall, cpu = time.perf_counter(), time.process_time()
with open(dump, "rb", buffering=1 << 20) as lines:
    explorer.import_lines(lines, vesker_analysis.EstimatorPrecision.NoEstimates)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
after = memory_status()
print(json.dumps({{"wall": wall, "cpu": cpu, "rss_before": before["VmRSS"], "hwm_after": after["VmHWM"]}}))
"""

SQLITE_CHILD = f"""
import json, os, sys, time
sys.path.insert(0, {str(BENCH_PYTHON)!r})
from import_benchmark import memory_status
from sqlite_import_peer import sqlite_bulk_load
dump, db = sys.argv[1], sys.argv[2]
before = memory_status()
cpu = time.process_time()
result = sqlite_bulk_load(dump, db)
cpu = time.process_time() - cpu
after = memory_status()
print(json.dumps({{"wall": result.seconds, "cpu": cpu, "rss_before": before["VmRSS"], "hwm_after": after["VmHWM"],
                  "objects": result.objects, "references": result.references,
                  "db_bytes": os.path.getsize(db)}}))
"""


class Row(NamedTuple):
    name: str
    wall_seconds: float
    cpu_seconds: float
    peak_bytes_per_object: float | None
    note: str


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--python", default=sys.executable, help="interpreter with vesker_analysis installed")
    parser.add_argument("--build-dir", type=Path, default=DEFAULT_BUILD_DIR)
    parser.add_argument("--dump-dir", type=Path, default=DEFAULT_DUMP_DIR)
    args = parser.parse_args(argv)

    ensure_python_has_module(args.python)
    dump = dump_path(args.dump_dir, args.objects, args.seed)
    binary = store_benchmark_binary(args.build_dir)
    dump_bytes = dump.stat().st_size
    with dump.open("rb") as f:
        records = sum(1 for _ in f)
    print(f"dump: {dump} ({records} records, {dump_bytes / MIB:.1f} MiB)")
    print(f"python: {args.python}\n", flush=True)

    rows: list[Row] = []
    with tempfile.TemporaryDirectory(dir=args.dump_dir, prefix="import-bench-") as scratch:
        print("import_lines ...", flush=True)
        store = Path(scratch, "store")
        store.mkdir()
        child = run_child([args.python, "-c", IMPORT_CHILD, str(store), str(dump)], cwd=scratch)
        report = child.last_json()
        store_bytes = sum(p.stat().st_size for p in store.iterdir())
        rows.append(Row("import_lines (Python, file 'rb')", report["wall"], report["cpu"],
                        (report["hwm_after"] - report["rss_before"]) / records,
                        f"child peak RSS {child.peak_rss_bytes / MIB:.0f} MiB, store {store_bytes / MIB:.0f} MiB"))
        shutil.rmtree(store)

        # The first benchmark in a store_benchmark process also reads the dump into memory, inside
        # its timed region; a second repetition of each gives figures without that.
        print("store_benchmark --benchmark_filter=Import ...", flush=True)
        cpp = {run.name: run for run in run_store_benchmark(binary, dump, Path(scratch), "Import", repetitions=2)}
        for name, label in (("ImportLineImporter", "LineImporter (C++, lines in memory)"),
                            ("ImportInputOrderPutFloor", "floor: mdb_put in input order (C++)")):
            run = cpp[name]
            rows.append(Row(label, run.wall_seconds, run.cpu_seconds,
                            run.peak_bytes_per_object if name == "ImportLineImporter" else None,
                            f"process peak RSS {run.process_peak_rss_bytes / MIB:.0f} MiB"))

        print("SQLite bulk load ...\n", flush=True)
        child = run_child([args.python, "-c", SQLITE_CHILD, str(dump), str(Path(scratch, "dump.sqlite"))],
                          cwd=scratch)
        report = child.last_json()
        rows.append(Row("SQLite bulk load (Python sqlite3)", report["wall"], report["cpu"],
                        (report["hwm_after"] - report["rss_before"]) / records,
                        f"child peak RSS {child.peak_rss_bytes / MIB:.0f} MiB, "
                        f"database {report['db_bytes'] / MIB:.0f} MiB"))

    header = ["", "wall s", "CPU s", "records/s (wall)", "records/s (CPU)", "MB/s (wall)", "MB/s (CPU)",
              "peak B/object", "notes"]
    table = []
    for row in rows:
        table.append([row.name, f"{row.wall_seconds:.2f}", f"{row.cpu_seconds:.2f}",
                      format_rate(records / row.wall_seconds), format_rate(records / row.cpu_seconds),
                      f"{dump_bytes / 1e6 / row.wall_seconds:.1f}", f"{dump_bytes / 1e6 / row.cpu_seconds:.1f}",
                      "-" if row.peak_bytes_per_object is None else f"{row.peak_bytes_per_object:.0f}", row.note])
    print_table(header, table)
    print("\npeak B/object: growth of the peak resident set during the import (or load), per object;"
          "\nit counts the store's pages mapped by the process. CPU s is the process's own user+system"
          "\ntime (the C++ rows: the benchmark thread), wall s also holds waits for a core or the disk.\n")

    python_row, floor_row, sqlite_row = rows[0], rows[2], rows[3]
    ratios = [
        ("SQLite load / import_lines", sqlite_row, 3.0),
        ("input-order put floor / import_lines", floor_row, 1.0),
    ]
    print_table(["ratio", "CPU time", "wall time", "target", "on CPU", "on wall"],
                [[label, f"{other.cpu_seconds / python_row.cpu_seconds:.2f}",
                  f"{other.wall_seconds / python_row.wall_seconds:.2f}", f">= {target:.1f}",
                  verdict(other.cpu_seconds / python_row.cpu_seconds >= target),
                  verdict(other.wall_seconds / python_row.wall_seconds >= target)]
                 for label, other, target in ratios])
    return 0


if __name__ == "__main__":
    sys.exit(main())
