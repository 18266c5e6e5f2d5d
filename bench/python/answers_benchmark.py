"""Leak suspects and waste beside the retained-size step, on one store.

Imports a dump (the real 2.4-million-object dump when given or found, else a generated one of
--objects objects) with --precision none into a fresh store, then times on that store:
`Store.compute_retained()` (the retained-size step), `Store.suspects()` and `Store.waste()`,
each once, and prints the three times and each answer's time as a share of the retained step
(target: at most 1.0), with the anonymous memory each call added at its peak (RssAnon, mapped
store pages not counted).

    python bench/python/answers_benchmark.py [--dump FILE.jsonl[.gz] | --generated] [--objects 2400000]
        [--dump-dir /tmp/vesker-bench-answers] [--keep STORE]
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from import_benchmark import dump_path  # noqa: E402
from retained_benchmark import PeakSampler, rss_anon  # noqa: E402

REAL_DUMP = Path("/work/shared/testdata/heap-dump-app.jsonl.gz")


def timed(call):  # type: ignore[no-untyped-def]
    before = rss_anon()
    with PeakSampler() as sampler:
        started = time.perf_counter()
        answer = call()
        seconds = time.perf_counter() - started
    return answer, seconds, sampler.peak - before


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", type=Path, default=REAL_DUMP if REAL_DUMP.exists() else None)
    parser.add_argument("--generated", action="store_true", help="use a generated dump even when the real one exists")
    parser.add_argument("--objects", type=int, default=2_400_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dump-dir", type=Path, default=Path(tempfile.gettempdir()) / "vesker-bench-answers")
    parser.add_argument("--keep", type=Path, help="store directory to keep (default: a temporary one)")
    args = parser.parse_args()
    dump = dump_path(args.dump_dir, args.objects, args.seed) if args.generated or args.dump is None else args.dump

    from vesker import engine
    from vesker.store import import_dump

    store_dir = args.keep or Path(tempfile.mkdtemp(prefix="vesker-answers-"))
    try:
        if not (store_dir / "data.mdb").exists():
            print(f"importing {dump} ...", flush=True)
            stats = import_dump(str(dump), str(store_dir), "none", live=False, stream=open(os.devnull, "w"))
            print(f"imported {stats.objects:,} objects in {stats.seconds:.0f} s", flush=True)
        with engine.Store(str(store_dir)) as store:
            run, retained_s, retained_mem = timed(store.compute_retained)
            found, suspects_s, suspects_mem = timed(store.suspects)
            waste, waste_s, waste_mem = timed(store.waste)
        print(f"objects: {run.objects:,}, edges: {run.edges:,}")
        print(f"{'step':<22}{'seconds':>9}{'x retained':>12}{'anon MiB':>10}")
        for name, seconds, memory in (("retained sizes", retained_s, retained_mem),
                                      ("suspects", suspects_s, suspects_mem),
                                      ("waste", waste_s, waste_mem)):
            print(f"{name:<22}{seconds:>9.2f}{seconds / retained_s:>12.2f}{memory / 2**20:>10.1f}")
        print(f"suspects found: {len(found.suspects)}; waste totals: "
              + ", ".join(f"{kind} {total.count:,} ({total.saving / 2**20:.1f} MiB)"
                          for kind, total in waste.totals.items()))
    finally:
        if args.keep is None:
            shutil.rmtree(store_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
