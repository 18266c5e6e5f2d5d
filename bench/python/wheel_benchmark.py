"""The portable wheel (zig's clang and libc++, for glibc 2.17) against the default build (the
system's g++ and libstdc++), side by side: the same dumps imported by each, the results compared,
the import and the exact subtree-size step timed.

Each build is an interpreter that has it installed (a virtual environment); both should be the
same CPython. For every dump (the test suite's, and a generated one of --objects objects) each
build imports it at Exact precision into a fresh store, computes the retained sizes, and reports
a digest of every object's size and subtree size, every retained row and the per-type totals;
the digests must be equal. Then the generated dump is imported --rounds times by each build,
alternating (and in turn first), and the best wall time of the import (reading and storing the lines) and of the
exact step (what follows the last line) is printed with the portable build's ratio; the target
is at most 1.10.

Usage: python bench/python/wheel_benchmark.py --default PY --portable PY
           [--objects 2500000] [--rounds 3] [--dump-dir /tmp/vesker-bench] [--timing-only]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TEST_DUMPS = [HERE.parents[1] / "tests" / "data" / "heap-dump-stdlib.jsonl.gz"]


def worker(dump: str, store: str, digest: bool) -> None:
    """Runs in the interpreter of one build: imports, optionally digests, prints JSON."""
    import gzip

    import vesker_analysis as va
    from vesker import engine
    from vesker.plain import plain

    marks: dict[str, float] = {}

    def lines(source):
        yield from source
        marks["lines"] = time.perf_counter()

    os.makedirs(store)
    explorer = va.HeapDumpExplorer(store)
    opener = gzip.open if dump.endswith(".gz") else open
    with opener(dump, "rb") as source:
        started = time.perf_counter()
        explorer.import_lines(lines(source), va.EstimatorPrecision.Exact)
        ended = time.perf_counter()
    result: dict[str, object] = {"import": marks["lines"] - started, "exact": ended - marks["lines"]}
    if digest:
        hasher = hashlib.sha256()
        pages = explorer.get_page_count_for_type("All Types")
        for page in range(pages):
            for item in explorer.get_objects_by_type_ordered_by_size("All Types", True, page):
                hasher.update(f"{item.id} {item.type} {item.size} {item.subtree_size}\n".encode())
        with engine.Store(store) as facts:
            facts.compute_retained()
            for offset in range(0, facts.object_count(), 10_000):
                for row in facts.top_retained("All Types", offset, 10_000):
                    hasher.update(json.dumps(plain(row), sort_keys=True).encode())
            hasher.update(json.dumps(facts.type_retained(), sort_keys=True).encode())
        hasher.update(json.dumps(sorted((name, summary.count, summary.total_size)
                                        for name, summary in explorer.get_type_summaries())).encode())
        result["digest"] = hasher.hexdigest()
    print(json.dumps(result))


def run_worker(python: str, dump: Path, digest: bool) -> dict[str, object]:
    folder = tempfile.mkdtemp(prefix="vesker-wheel-bench-")
    try:
        done = subprocess.run([python, __file__, "--worker", str(dump), os.path.join(folder, "store"),
                               *(["--digest"] if digest else [])],
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            sys.exit(f"{python} failed on {dump}:\n{done.stderr}")
        return json.loads(done.stdout.splitlines()[-1])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def generated_dump(objects: int, dump_dir: Path) -> Path:
    dump = dump_dir / f"generated-{objects}.jsonl"
    if not dump.exists():
        dump_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(HERE / "generate_dump.py"), str(dump), "--objects", str(objects)],
                       check=True)
    return dump


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--default", help="interpreter with the default build installed")
    parser.add_argument("--portable", help="interpreter with the portable wheel installed")
    parser.add_argument("--objects", type=int, default=2_500_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dump-dir", type=Path, default=Path("/tmp/vesker-bench"))
    parser.add_argument("--timing-only", action="store_true", help="skip the comparison of results")
    parser.add_argument("--worker", nargs=2, metavar=("DUMP", "STORE"), help=argparse.SUPPRESS)
    parser.add_argument("--digest", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(*args.worker, args.digest)
        return 0
    if not (args.default and args.portable):
        parser.error("--default and --portable are required")
    builds = {"default": args.default, "portable": args.portable}
    generated = generated_dump(args.objects, args.dump_dir)

    same = True
    print("results (digest of sizes, subtree sizes, retained sizes and type totals):")
    for dump in [] if args.timing_only else [*TEST_DUMPS, generated]:
        digests = {name: run_worker(python, dump, True)["digest"] for name, python in builds.items()}
        equal = len(set(digests.values())) == 1
        same &= equal
        print(f"  {dump.name:34} default {str(digests['default'])[:16]}  portable "
              f"{str(digests['portable'])[:16]}  {'equal' if equal else 'DIFFERENT'}")

    best: dict[str, dict[str, float]] = {name: {} for name in builds}
    for round_ in range(args.rounds):
        # Each build goes first in every other round, so neither always follows the other's writes.
        order = list(builds.items())
        for name, python in order[::-1] if round_ % 2 else order:
            figures = run_worker(python, generated, False)
            for phase in ("import", "exact"):
                value = float(figures[phase])  # type: ignore[arg-type]
                best[name][phase] = min(best[name].get(phase, value), value)
    print(f"\n{args.objects:,} generated objects, best of {args.rounds} (wall seconds):")
    print(f"  {'phase':8} {'default':>9} {'portable':>9} {'ratio':>7}  (target <= 1.10)")
    for phase in ("import", "exact"):
        default, portable = best["default"][phase], best["portable"][phase]
        print(f"  {phase:8} {default:9.2f} {portable:9.2f} {portable / default:7.3f}")
    total_default = sum(best["default"].values())
    total_portable = sum(best["portable"].values())
    print(f"  {'both':8} {total_default:9.2f} {total_portable:9.2f} {total_portable / total_default:7.3f}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
