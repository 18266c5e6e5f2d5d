"""Allocation sites: what tracing costs the program, what sites cost the dump, and the site
analysis beside the retained-size step on the same store.

1. A workload allocating OBJECTS objects (instances with a str and a one-item list, as a
   program's records are), run untraced and under tracemalloc at 1 and 10 frames, each in its
   own process: CPU seconds of the allocation loop, peak resident memory, ratios to untraced.
2. A program of HEAP objects dumped in place untraced and traced at 1 frame, by the Python walk
   and by the native walker (3.13 and later; what traced dumps of `vesker dump SCRIPT`,
   `--signal` and `install` use): dump seconds, bytes per object, and what the sites add.
3. The traced dump imported (with retained sizes): `compute_retained` beside `site_totals`
   on that store.

    python bench/python/sites_benchmark.py [--objects 10000000] [--heap 1000000] [--dir /tmp/vesker-bench-sites]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

WORKLOAD = r'''
import resource, sys, time, tracemalloc
frames, count = int(sys.argv[1]), int(sys.argv[2])
if frames:
    tracemalloc.start(frames)

class Row:
    __slots__ = ("name", "items")
    def __init__(self, n):
        self.name = str(n)
        self.items = [n]

def build(depth, n):
    if depth:
        return build(depth - 1, n)
    return [Row(i) for i in range(n)]

started = time.process_time()
kept = []
# Objects: each Row makes three (the Row, its str, its list); batches keep the peak bounded.
left = count // 3
while left:
    batch = min(left, 200_000)
    kept.append(build(20, batch))
    left -= batch
    if len(kept) > 10:
        kept.pop(0)
seconds = time.process_time() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(seconds, peak)
'''

HEAP = r'''
import sys, tracemalloc
from vesker.dumper import dump_heap, native_walker_available
frames, count, path, native = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "native"
if native:
    native_walker_available()  # loaded before the heap is made
if frames:
    tracemalloc.start(frames)

class Row:
    def __init__(self, n):
        self.name = "row %d" % n
        self.items = [n]

def make(n):
    return Row(n)

HELD = [make(i) for i in range(count // 3)]
stats = dump_heap(path, names=True, meta=True, native=native)
print(stats.objects, stats.bytes_written, stats.seconds)
'''


def _run(code: str, *arguments: str) -> list[str]:
    completed = subprocess.run([sys.executable, "-c", code, *arguments], capture_output=True, text=True, check=True)
    return completed.stdout.split()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=10_000_000)
    parser.add_argument("--heap", type=int, default=1_000_000)
    parser.add_argument("--dir", default="/tmp/vesker-bench-sites")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)

    print(f"Workload allocating {args.objects:,} objects (Python {sys.version.split()[0]}):")
    base: tuple[float, int] | None = None
    for frames in (0, 1, 10):
        seconds, peak = (float(x) for x in _run(WORKLOAD, str(frames), str(args.objects)))
        base = base or (seconds, int(peak))
        label = "untraced" if not frames else f"{frames} frame(s)"
        print(f"  {label:>11}: {seconds:7.2f} s CPU ({seconds / base[0]:5.2f}x), "
              f"peak RSS {peak / 2**20:8.1f} MiB ({peak / base[1]:4.2f}x)")

    from vesker.dumper import native_walker_available

    print(f"\nDumping a heap of about {args.heap:,} program objects in place:")
    walkers = ["python", "native"] if native_walker_available() else ["python"]
    dumps = {}
    for walker in walkers:
        for frames in (0, 1):
            path = os.path.join(args.dir, f"heap-{walker}-{frames}.jsonl")
            for leftover in (path, path + ".meta.json"):
                if os.path.exists(leftover):
                    os.unlink(leftover)
            objects, size, seconds = _run(HEAP, str(frames), str(args.heap), path, walker)
            dumps[walker, frames] = (int(objects), int(size), float(seconds), path)
            label = f"{walker} walk, " + ("untraced" if not frames else f"{frames} frame")
            print(f"  {label:>22}: {int(objects):,} objects in {float(seconds):6.2f} s, "
                  f"{int(size) / int(objects):.1f} bytes/object")
        plain, traced = dumps[walker, 0], dumps[walker, 1]
        print(f"  {walker} walk: sites add {traced[2] - plain[2]:+.2f} s ({traced[2] / plain[2]:.2f}x) and "
              f"{traced[1] / traced[0] - plain[1] / plain[0]:+.1f} bytes/object (the dump itself runs traced)")
    if "native" in walkers:
        print(f"  traced, the native walk takes {dumps['native', 1][2] / dumps['python', 1][2]:.3f} of the Python "
              "walk's time: tracemalloc finds the line of every allocation the Python walk makes by scanning its "
              "function's location table")

    from vesker.retained_sizes import compute_retained, open_engine
    from vesker.sites import load, site_report
    from vesker.store import import_dump

    store = os.path.join(args.dir, "store")
    if os.path.exists(store):
        import shutil
        shutil.rmtree(store)
    traced = dumps[walkers[-1], 1]
    import_dump(traced[3], store, "none", live=False)
    started = time.perf_counter()
    compute_retained(store, None, open(os.devnull, "w"), False)
    retained_seconds = time.perf_counter() - started
    engine = open_engine(store)
    table = load(store, engine)
    assert table is not None
    started = time.perf_counter()
    report = site_report(engine, table)
    site_seconds = time.perf_counter() - started
    engine.close()
    steps = report["seconds"]
    print(f"\nOn that store ({traced[0]:,} objects, {len(table.sites):,} sites, "
          f"{report['unknown']['count']:,} objects of unknown site):")
    print(f"  retained-size step: {retained_seconds:.2f} s")
    print(f"  site analysis:      {site_seconds:.2f} s ({site_seconds / retained_seconds:.2f} of the retained step; "
          f"graph {steps['graph']:.2f} s, dominators {steps['dominators']:.2f} s, sites {steps['sites']:.2f} s)")
    print(json.dumps({"retained_seconds": retained_seconds, "site_seconds": site_seconds}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
