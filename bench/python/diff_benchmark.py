"""Comparing dumps: `diff` of two stores and `growth` over three, wall time and peak memory.

Builds (once, kept in --dump-dir) three stores of a generated dump of --objects
objects (2.4 million by default): the first from generate_dump.py, each next
one a mutation of the one before, as a later dump of the same process would
be: a share of the objects freed, a share of the freed addresses taken by
objects of another type, new objects at new addresses, and the remaining
objects grown.

Then, each in a process of its own so that its peak memory is its own:

- diff of the first two stores, object by object (one process);
- diff of the first store with itself: nothing changed, so the memory above
  the floor must not grow with the store (the target: independent of the
  objects that did not change);
- diff across processes (per type, and by stable paths from modules: the
  generated dumps name no references, so the paths are the modules alone);
- growth over the three stores.

Memory is sampled every 5 ms while the native call runs: anonymous memory
(RssAnon: the process's own) apart from the mapped store pages (RssFile),
both as the peak above what the process held before the call.
Target: diff at least 2 million objects/s of the larger store.

    python bench/python/diff_benchmark.py [--objects 2400000] [--dump-dir /tmp/vesker-diff-bench]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Iterator

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from generate_dump import iter_lines  # noqa: E402

FREED = 0.04  # of the objects of one dump, gone in the next
REUSED = 0.01  # of the objects, whose address another type takes
NEW = 0.05  # of the objects, added at new addresses
GROWN = 0.02  # of the objects, a little larger
NEW_ID_BASE = 0x7F00_0000_0000


def mutated(lines: Iterator[bytes], step: int, objects: int) -> Iterator[bytes]:
    rng = random.Random(step)
    kept: list[int] = []
    for line in lines:
        roll = rng.random()
        if roll < FREED:
            continue
        if roll < FREED + REUSED:
            record = json.loads(line)
            record.update(type="bench.Reused", references=[], value=None)
            line = json.dumps(record, separators=(",", ":")).encode() + b"\n"
        elif roll < FREED + REUSED + GROWN:
            head, _, size = line.rstrip(b"}\n").rpartition(b'"size":')
            line = head + b'"size":' + str(int(size) + 64).encode() + b"}\n"
        if len(kept) < 4096:
            kept.append(json.loads(line)["id"])
        yield line
    base = NEW_ID_BASE + step * (1 << 36)
    for n in range(int(objects * NEW)):
        references = ",".join(str(rng.choice(kept)) for _ in range(rng.randrange(4)))
        yield (f'{{"id":{base + 16 * n},"type":"bench.New{n % 7}","references":[{references}],'
               f'"value":null,"size":{48 + n % 200}}}\n').encode()


def dump_lines(store: str) -> Iterator[bytes]:
    with open(os.path.join(store, "dump.jsonl"), "rb") as dump:
        yield from dump


def build_stores(directory: str, objects: int) -> list[str]:
    import vesker_analysis

    stores = [os.path.join(directory, f"s{step}") for step in range(3)]
    marker = os.path.join(directory, f"complete-{objects}")
    if os.path.exists(marker):
        return stores
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    previous: Iterator[bytes] = iter_lines(objects, 1)
    for step, store in enumerate(stores):
        os.makedirs(store)
        started = time.monotonic()
        lines = previous if step == 0 else mutated(dump_lines(stores[step - 1]), step, objects)
        with open(os.path.join(store, "dump.jsonl"), "wb") as dump:
            for line in lines:
                dump.write(line)
        explorer = vesker_analysis.HeapDumpExplorer(store)
        explorer.import_lines(dump_lines(store), vesker_analysis.EstimatorPrecision.Low)
        del explorer
        print(f"built {store} in {time.monotonic() - started:.0f}s", file=sys.stderr)
    for store in stores:
        os.unlink(os.path.join(store, "dump.jsonl"))
    open(marker, "w").close()
    return stores


def memory() -> dict[str, int]:
    found = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "RssFile"):
                found[key] = int(value.split()[0]) * 1024
    return found


def measure(kind: str, paths: list[str]) -> None:
    """Runs one comparison in this process and prints its figures as JSON."""
    from vesker import engine

    stores = [engine.Store(path) for path in paths]
    before = memory()
    peak = dict(before)
    running = True

    def sample() -> None:
        while running:
            for key, value in memory().items():
                peak[key] = max(peak[key], value)
            time.sleep(0.005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    wall, cpu = time.perf_counter(), time.process_time()
    if kind == "growth":
        result = engine.growth(stores)
        detail = f"{result.growing:,} growing, {result.sources:,} sources"
    else:
        result = engine.diff(stores[0], stores[1], same_process=kind != "types")
        detail = (f"{result['total']['added']['count']:,} new objects" if kind != "types"
                  else f"per type, {len(result['paths']):,} stable paths grew")
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    running = False
    sampler.join()
    for key, value in memory().items():
        peak[key] = max(peak[key], value)
    print(json.dumps({"wall": wall, "cpu": cpu, "detail": detail,
                      "anon": peak["RssAnon"] - before["RssAnon"], "file": peak["RssFile"] - before["RssFile"]}))


def object_count(path: str) -> int:
    import vesker_analysis

    return int(vesker_analysis.HeapDumpExplorer(path).get_count_for_type("All Types"))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=2_400_000)
    parser.add_argument("--dump-dir", default="/tmp/vesker-diff-bench")
    parser.add_argument("--measure", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.measure:
        measure(args.measure[0], args.measure[1:])
        return 0

    stores = build_stores(args.dump_dir, args.objects)
    counts = [object_count(store) for store in stores]
    print(f"stores of {', '.join(f'{count:,}' for count in counts)} objects in {args.dump_dir}")
    runs = [
        ("diff, one process", "objects", stores[:2], max(counts[:2])),
        ("diff, nothing changed", "objects", [stores[0], stores[0]], counts[0]),
        ("diff, across processes", "types", stores[:2], max(counts[:2])),
        ("growth over three", "growth", stores, max(counts)),
    ]
    print(f"{'run':<24} {'wall':>7} {'cpu':>7} {'objects/s':>11} {'anon peak':>10} {'file peak':>10}  detail")
    rates = {}
    for title, kind, paths, count in runs:
        done = subprocess.run([sys.executable, __file__, "--measure", kind, *paths], check=True,
                              capture_output=True, text=True)
        figures = json.loads(done.stdout)
        rates[title] = count / figures["wall"]
        print(f"{title:<24} {figures['wall']:>6.2f}s {figures['cpu']:>6.2f}s {rates[title]:>11,.0f} "
              f"{figures['anon'] / 2**20:>7.1f} MiB {figures['file'] / 2**20:>6.1f} MiB  {figures['detail']}")
    verdict = "met" if rates["diff, one process"] >= 2_000_000 else "NOT met"
    print(f"target: diff at least 2,000,000 objects/s of the larger store: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
