"""Retained sizes end to end on a generated dump, beside the exact subtree-size step.

For the generated dump of --objects objects (2.4 million by default), in a child process of its
own: import the dump without estimates, run the exact subtree-size step over the same store
(`import_lines([], Exact)` reruns the post-import step over everything), then
`vesker.engine.Store.compute_retained()`, while a thread samples the process's anonymous memory
(RssAnon; mapped store pages are RssFile and not counted) every 5 ms. Prints:

- the three parts of compute_retained: reading the graph from the store, the dominator phase,
  writing the results; objects/s and edges/s of the dominator phase;
- the peak anonymous memory of the whole call above what the process held before it, per object,
  and that peak less the compact graph's own arrays;
- the dominator phase's time beside the exact subtree-size step's;

then runs bench/cpp/dominator_benchmark on the same store for the dominator phase alone (its
peak anonymous memory beyond the graph arrays, per object). Targets: >= 1 million objects/s,
<= 40 bytes/object beyond the graph arrays, no slower than the exact subtree-size step.

    python bench/python/retained_benchmark.py [--objects 2400000] [--seed 1]
        [--dump-dir /tmp/vesker-bench-retained] [--build-dir build/cpp] [--no-cpp]
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from import_benchmark import PROJECT, dump_path  # noqa: E402


def rss_anon() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


class PeakSampler:
    def __init__(self) -> None:
        self.peak = rss_anon()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(0.005):
            self.peak = max(self.peak, rss_anon())

    def __enter__(self) -> PeakSampler:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, rss_anon())


def child(dump: Path, store: Path) -> None:
    import vesker_analysis
    from vesker import engine
    from vesker.plain import plain

    precision = vesker_analysis.EstimatorPrecision
    explorer = vesker_analysis.HeapDumpExplorer(str(store))
    started = time.perf_counter()
    with open(dump, "rb", buffering=1 << 20) as lines:
        explorer.import_lines(lines, precision.NoEstimates)
    import_seconds = time.perf_counter() - started
    started, cpu = time.perf_counter(), time.thread_time()
    explorer.import_lines([], precision.Exact)
    subtree_seconds, subtree_cpu = time.perf_counter() - started, time.thread_time() - cpu
    handle = engine.Store(store)
    # Hand the heap the earlier steps freed back to the system, so that the peak below is what
    # compute_retained itself takes and not memory it reused.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before = rss_anon()
    cpu = time.thread_time()
    with PeakSampler() as sampler:
        run = handle.compute_retained()
    retained_cpu = time.thread_time() - cpu
    print(json.dumps(dict(plain(run), import_seconds=import_seconds, subtree_seconds=subtree_seconds,
                          subtree_cpu=subtree_cpu, retained_cpu=retained_cpu,
                          anon_before=before, anon_peak=sampler.peak)))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=2_400_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dump-dir", type=Path, default=Path("/tmp/vesker-bench-retained"))
    parser.add_argument("--build-dir", type=Path, default=PROJECT / "build" / "cpp")
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ dominator benchmark")
    parser.add_argument("--child", nargs=2, metavar=("DUMP", "STORE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(Path(args.child[0]), Path(args.child[1]))
        return 0

    dump = dump_path(args.dump_dir, args.objects, args.seed)
    store = Path(tempfile.mkdtemp(prefix="retained-store-", dir=args.dump_dir))
    try:
        with open("/proc/loadavg") as load:
            print(f"load average before: {load.read().split()[:3]}")
        out = subprocess.run([sys.executable, __file__, "--child", str(dump), str(store)],
                             check=True, capture_output=True, text=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        n, mib = r["objects"], 1 << 20
        peak = r["anon_peak"] - r["anon_before"]
        print(f"{n:,} objects, {r['edges']:,} edges, {r['unreachable']:,} unreachable; "
              f"import without estimates {r['import_seconds']:.1f} s")
        print(f"exact subtree-size step      {r['subtree_seconds']:8.2f} s")
        print(f"retained: read graph         {r['read_seconds']:8.2f} s")
        print(f"retained: dominator phase    {r['dominator_seconds']:8.2f} s  "
              f"{n / r['dominator_seconds'] / 1e6:.2f} M objects/s, "
              f"{r['edges'] / r['dominator_seconds'] / 1e6:.2f} M edges/s")
        print(f"retained: write results      {r['write_seconds']:8.2f} s")
        total = r["read_seconds"] + r["dominator_seconds"] + r["write_seconds"]
        print(f"retained: whole computation  {total:8.2f} s "
              f"({total / r['subtree_seconds']:.2f} x the exact subtree-size step)")
        print(f"CPU time (the machine is shared): exact subtree-size step {r['subtree_cpu']:.2f} s, "
              f"compute_retained {r['retained_cpu']:.2f} s")
        print(f"graph arrays {r['graph_bytes'] / mib:.0f} MiB ({r['graph_bytes'] / n:.1f} B/object); "
              f"peak anonymous memory of compute_retained {peak / mib:.0f} MiB ({peak / n:.1f} B/object), "
              f"{(peak - r['graph_bytes']) / n:.1f} B/object beyond the graph arrays")
        if not args.no_cpp:
            subprocess.run(["cmake", "--build", str(args.build_dir), "-j", "2", "--target", "dominator_benchmark"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run([str(args.build_dir / "bench" / "cpp" / "dominator_benchmark")],
                           check=True, env=dict(os.environ, VESKER_BENCH_STORE=str(store)))
    finally:
        shutil.rmtree(store, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
