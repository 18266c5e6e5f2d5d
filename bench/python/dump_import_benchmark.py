"""Dump a process of about two million objects and import the dump.

Prints the dump's objects/s and bytes per object, and the import's objects/s
(reading, storing and computing subtree sizes).  Run with the package
installed:

    python bench/python/dump_import_benchmark.py [--objects 2000000] [--precision exact]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

# The subject builds a heap shaped like a service's: records with string keys,
# lists of numbers and strings, instances holding them, and a cache on top.
SUBJECT = textwrap.dedent(
    """
    import json, sys, vesker

    class Order:
        def __init__(self, number):
            self.number = number
            self.lines = [float(number), str(number), number * 3]
            self.meta = {"customer": "c" + str(number % 5000), "items": (number, number + 1)}

    target = int(sys.argv[2])
    # Each order holds about ten objects of its own next to the interpreter's.
    CACHE = {number: Order(number) for number in range(max(target - 40_000, 0) // 10)}
    stats = vesker.dump_heap(sys.argv[1])
    print(json.dumps({"objects": stats.objects, "seconds": stats.seconds,
                      "bytes": stats.bytes_written}))
    """
)


def run_dump(path: str, objects: int) -> dict[str, float]:
    completed = subprocess.run(
        [sys.executable, "-c", SUBJECT, path, str(objects)],
        capture_output=True, text=True, check=True,
    )
    result: dict[str, float] = json.loads(completed.stdout.strip().splitlines()[-1])
    return result


def run_import(dump: str, store: str, precision_name: str) -> tuple[int, float]:
    import vesker_analysis

    precision = getattr(vesker_analysis.EstimatorPrecision, precision_name)
    explorer = vesker_analysis.HeapDumpExplorer(store)
    started = time.perf_counter()
    with open(dump, "rb", buffering=1 << 20) as lines:
        explorer.import_lines(lines, precision)
    seconds = time.perf_counter() - started
    count = explorer.get_count_for_type("All Types")
    del explorer
    gc.collect()
    return count, seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=2_000_000, help="approximate heap size")
    parser.add_argument("--precision", default="Exact",
                        choices=["NoEstimates", "Low", "Medium", "High", "Exact"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vesker-bench-") as scratch:
        dump = os.path.join(scratch, "heap.jsonl")
        figures = run_dump(dump, args.objects)
        objects = int(figures["objects"])
        print(f"dump:   {objects:,} objects in {figures['seconds']:.2f}s = "
              f"{objects / figures['seconds']:,.0f} objects/s")
        print(f"        {figures['bytes'] / 2**20:,.1f} MiB = "
              f"{figures['bytes'] / objects:.1f} bytes/object")
        store = os.path.join(scratch, "store")
        os.mkdir(store)
        imported, seconds = run_import(dump, store, args.precision)
        print(f"import: {imported:,} objects in {seconds:.2f}s = "
              f"{imported / seconds:,.0f} objects/s (precision {args.precision})")


if __name__ == "__main__":
    main()
