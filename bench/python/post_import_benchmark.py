"""The post-import step at every precision beside its floor and an in-memory Python peer.

Prints, for the generated dump of --objects objects (one million by default)
and, with --ten-million, also for one of ten million objects when it fits in
the memory available:

- for each precision: the step's wall and CPU time, objects/s and peak memory
  per object, the anonymous part (what the step holds) and the mapped store
  pages apart (bench/cpp/store_benchmark PostImport/precision:N, on a store
  filled beforehand by the LineImporter);
- its floor: one pass that reads every record, rewrites it and puts two index
  entries, in the same transaction shape (PostImportFloor);
- a peer: the same exact subtree sizes in plain Python with no store at all
  (subtree_peer.py: read the dump, iterative Tarjan, unions of reachable
  component sets, sums of sizes);

then the ratios against the targets: Exact within 3x of the floor and at
least 2x faster than the peer, every sketch precision within 2x of the floor,
High no slower than Exact, and ten million objects with Exact within the
machine's 24 GiB and at most 300 bytes of anonymous memory per object.

Each store_benchmark benchmark runs in a process of its own, so its peak
memory counter sees only itself. The machine may be shared: every figure is
given on CPU time (what the process itself spent) and on wall time (which also
holds the time it waited for a core or for the disk).

    python bench/python/post_import_benchmark.py [--objects 1000000] [--ten-million]
        [--precisions 0,1,2,3,4] [--no-peer] [--python PY]
        [--build-dir build/cpp] [--dump-dir /tmp/vesker-bench]

Generating the ten-million-object dump takes a minute or more, each
store_benchmark process at that size fills its own store first, and the peer
needs several GiB there.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

from import_benchmark import (  # noqa: E402
    BENCH_PYTHON,
    DEFAULT_BUILD_DIR,
    DEFAULT_DUMP_DIR,
    MIB,
    dump_path,
    format_rate,
    print_table,
    run_child,
    run_store_benchmark,
    store_benchmark_binary,
    verdict,
)

GIB = 1 << 30
MACHINE_MEMORY = 24 * GIB
TEN_MILLION = 10_000_000
PRECISION_NAMES = ["NoEstimates", "Low", "Medium", "High", "Exact"]
HIGH = 3
EXACT = 4
# How much slower than the floor each precision may be (NoEstimates has no target).
FLOOR_FACTOR = {1: 2.0, 2: 2.0, 3: 2.0, 4: 3.0}
PEER_FACTOR = 2.0
EXACT_ANON_BYTES_PER_OBJECT = 300  # at ten million objects

PEER_CHILD = f"""
import json, sys, time
sys.path.insert(0, {str(BENCH_PYTHON)!r})
from subtree_peer import exact_subtree_sizes, read_records
wall, cpu = time.perf_counter(), time.process_time()
records = read_records(sys.argv[1])
read_wall, read_cpu = time.perf_counter() - wall, time.process_time() - cpu
sizes = exact_subtree_sizes(records)
print(json.dumps({{"objects": len(sizes), "read_wall": read_wall, "read_cpu": read_cpu,
                  "wall": time.perf_counter() - wall, "cpu": time.process_time() - cpu}}))
"""


class Step(NamedTuple):
    name: str
    precision: int | None  # None for the floor and the peer
    wall_seconds: float
    cpu_seconds: float
    peak_bytes_per_object: float
    process_peak_rss_bytes: int
    peak_anon_bytes_per_object: float | None = None
    peak_file_bytes_per_object: float | None = None


def optional_figure(value: float | None) -> str:
    return "-" if value is None else f"{value:.0f}"


def memory_available() -> int:
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


class PeakPerObject(NamedTuple):
    """Whole-process peaks per object, to judge whether a larger dump fits."""

    store_benchmark: float
    peer: float | None


# Used when nothing smaller was measured in the same run (one million objects, Exact, the peer).
DEFAULT_PEAK_PER_OBJECT = PeakPerObject(1700.0, 1700.0)


def measure(args, binary: Path, objects: int, precisions: list[int], with_peer: bool) -> PeakPerObject:
    dump = dump_path(args.dump_dir, objects, args.seed)
    print(f"\n=== {objects:,} objects: {dump} ({dump.stat().st_size / MIB:.0f} MiB) ===", flush=True)
    steps: list[Step] = []
    with tempfile.TemporaryDirectory(dir=args.dump_dir, prefix="post-import-bench-") as scratch:
        filters = [("floor (read, rewrite, 2 index puts)", None, "^PostImportFloor/")]
        filters += [(f"PostImport {PRECISION_NAMES[n]}", n, f"^PostImport/precision:{n}/") for n in precisions]
        for name, precision, benchmark_filter in filters:
            print(f"store_benchmark --benchmark_filter='{benchmark_filter}' ...", flush=True)
            (run,) = run_store_benchmark(binary, dump, Path(scratch), benchmark_filter)
            steps.append(Step(name, precision, run.wall_seconds, run.cpu_seconds, run.peak_bytes_per_object,
                              run.process_peak_rss_bytes, run.peak_anon_bytes_per_object,
                              run.peak_file_bytes_per_object))
    peer = None
    if with_peer:
        print("subtree_peer (read the dump, Tarjan, reachable sets; in memory) ...", flush=True)
        child = run_child([args.python, "-c", PEER_CHILD, str(dump)], cwd=str(args.dump_dir))
        report = child.last_json()
        peer = Step("peer: Python in memory, no store", None, report["wall"], report["cpu"],
                    child.peak_rss_bytes / objects, child.peak_rss_bytes)
        print(f"  of which reading the dump: {report['read_wall']:.2f} s wall, {report['read_cpu']:.2f} s CPU",
              flush=True)
    print()

    peaks = PeakPerObject(max(step.process_peak_rss_bytes for step in steps) / objects,
                          peer.process_peak_rss_bytes / objects if peer else None)
    floor = steps[0]
    rows = []
    for step in steps + ([peer] if peer else []):
        factor = FLOOR_FACTOR.get(step.precision) if step.precision is not None else None
        versus_floor = step is not floor and step is not peer
        rows.append([
            step.name, f"{step.wall_seconds:.2f}", f"{step.cpu_seconds:.2f}",
            format_rate(objects / step.wall_seconds), format_rate(objects / step.cpu_seconds),
            f"{step.peak_bytes_per_object:.0f}", optional_figure(step.peak_anon_bytes_per_object),
            optional_figure(step.peak_file_bytes_per_object), f"{step.process_peak_rss_bytes / MIB:.0f}",
            f"{step.cpu_seconds / floor.cpu_seconds:.2f}" if versus_floor else "",
            f"{step.wall_seconds / floor.wall_seconds:.2f}" if versus_floor else "",
            f"<= {factor:.0f}" if factor else "",
            verdict(step.cpu_seconds / floor.cpu_seconds <= factor) if factor else "",
            verdict(step.wall_seconds / floor.wall_seconds <= factor) if factor else "",
        ])
    print_table(["", "wall s", "CPU s", "objects/s (wall)", "objects/s (CPU)", "peak B/object",
                 "anon B/object", "file B/object", "process peak MiB", "/floor CPU", "/floor wall", "target",
                 "on CPU", "on wall"], rows)
    print("\npeak B/object: growth of the peak resident set during the step, per object (it counts the"
          "\nstore's pages the step maps); for the peer, its whole peak RSS per object. anon / file B/object:"
          "\nthe same growth sampled apart for anonymous memory (what the step holds, LMDB's dirty pages"
          "\nincluded) and for file pages (the mapped store). process peak MiB:"
          "\nthe whole process (store_benchmark also holds the dump's lines in memory). CPU s: the"
          "\nprocess's user+system time (the step may use a second thread).")

    exact = next((step for step in steps if step.precision == EXACT), None)
    if exact is None:
        return peaks
    print()
    checks = []
    if peer:
        checks.append(["peer / Exact", f"{peer.cpu_seconds / exact.cpu_seconds:.2f}",
                       f"{peer.wall_seconds / exact.wall_seconds:.2f}", f">= {PEER_FACTOR:.0f}",
                       verdict(peer.cpu_seconds / exact.cpu_seconds >= PEER_FACTOR),
                       verdict(peer.wall_seconds / exact.wall_seconds >= PEER_FACTOR)])
    high = next((step for step in steps if step.precision == HIGH), None)
    if high:
        checks.append(["High / Exact", f"{high.cpu_seconds / exact.cpu_seconds:.2f}",
                       f"{high.wall_seconds / exact.wall_seconds:.2f}", "<= 1",
                       verdict(high.cpu_seconds <= exact.cpu_seconds), verdict(high.wall_seconds <= exact.wall_seconds)])
    if objects >= TEN_MILLION:
        peak = exact.peak_bytes_per_object * objects
        if exact.peak_anon_bytes_per_object is not None:
            checks.append(["Exact peak anonymous memory, B/object", f"{exact.peak_anon_bytes_per_object:.0f}", "",
                           f"<= {EXACT_ANON_BYTES_PER_OBJECT}",
                           verdict(exact.peak_anon_bytes_per_object <= EXACT_ANON_BYTES_PER_OBJECT), ""])
        checks.append(["Exact peak memory of the step, GiB", f"{peak / GIB:.2f}", "", "<= 24",
                       verdict(peak <= MACHINE_MEMORY), ""])
        checks.append(["Exact whole process peak, GiB", f"{exact.process_peak_rss_bytes / GIB:.2f}", "",
                       "<= 24", verdict(exact.process_peak_rss_bytes <= MACHINE_MEMORY), ""])
    if checks:
        print_table(["check", "CPU time", "wall time", "target", "on CPU", "on wall"], checks)
    return peaks


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--ten-million", action="store_true",
                        help="also measure a dump of ten million objects (generated if absent) if it fits")
    parser.add_argument("--precisions", default="0,1,2,3,4", help="comma-separated precisions, 0 to 4")
    parser.add_argument("--no-peer", action="store_true", help="leave out the in-memory Python peer")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs the peer")
    parser.add_argument("--build-dir", type=Path, default=DEFAULT_BUILD_DIR)
    parser.add_argument("--dump-dir", type=Path, default=DEFAULT_DUMP_DIR)
    args = parser.parse_args(argv)
    precisions = sorted({int(p) for p in args.precisions.split(",")})
    if not all(0 <= p <= EXACT for p in precisions):
        parser.error("precisions go from 0 to 4")

    args.dump_dir.mkdir(parents=True, exist_ok=True)
    binary = store_benchmark_binary(args.build_dir)
    sizes = [args.objects] + ([TEN_MILLION] if args.ten_million and args.objects != TEN_MILLION else [])
    peaks = DEFAULT_PEAK_PER_OBJECT
    for objects in sizes:
        if objects >= TEN_MILLION:
            # Extrapolated from the smaller run, with a margin; the children run one at a time.
            needed = 1.15 * peaks.store_benchmark * objects
            available = memory_available()
            if needed > available:
                print(f"\n=== {objects:,} objects: skipped, about {needed / GIB:.1f} GiB needed, "
                      f"{available / GIB:.1f} GiB available ===")
                continue
            with_peer = not args.no_peer and 1.15 * (peaks.peer or 0) * objects <= available
            if not args.no_peer and not with_peer:
                print(f"\n(the peer is left out at {objects:,} objects: about "
                      f"{1.15 * (peaks.peer or 0) * objects / GIB:.1f} GiB needed, {available / GIB:.1f} available)")
        else:
            with_peer = not args.no_peer
        peaks = measure(args, binary, objects, precisions, with_peer)
        if peaks.peer is None:
            peaks = peaks._replace(peer=DEFAULT_PEAK_PER_OBJECT.peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
