"""Query latencies on a store of a generated dump of one million objects.

Prints get_object calls/s on random objects, the latency of one page of the
all-types subtree-size listing at page 0 and at the last page, the latency of
get_type_summaries, and median and p99 latencies of path searches and
common-object searches between random pairs and between pairs drawn from the
objects with the largest subtree sizes.  Run with the package installed:

    python bench/python/query_benchmark.py [--objects 1000000] [--pairs 100] [--store DIR] [--drop-dangling]

With --store, an existing store in DIR is queried as it is (it is filled first
if it is empty), so repeated runs skip the import.  The generated dumps refer to
freed addresses now and then, and both searches fail when they meet such a
reference; --drop-dangling leaves those references out so that the searches
are timed to their end.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate_dump  # noqa: E402
import vesker_analysis  # noqa: E402

ALL_TYPES = "All Types"


def precision_for_store() -> vesker_analysis.EstimatorPrecision:
    # Exact sizes come from the post-import step; a build without it stores none.
    return vesker_analysis.EstimatorPrecision.Exact


def without_dangling_references(objects: int, seed: int):
    """The generated lines with every reference to an id without a record left out."""
    known = {json.loads(line)["id"] for line in generate_dump.iter_lines(objects, seed)}
    for line in generate_dump.iter_lines(objects, seed):
        record = json.loads(line)
        record["references"] = [id for id in record["references"] if id in known]
        yield json.dumps(record, separators=(",", ":")).encode()


def fill(explorer, objects: int, seed: int, drop_dangling: bool) -> None:
    started = time.perf_counter()
    lines = without_dangling_references(objects, seed) if drop_dangling else generate_dump.iter_lines(objects, seed)
    explorer.import_lines(lines, precision_for_store())
    print(f"import of {objects} objects: {time.perf_counter() - started:.1f} s")


def timed(call) -> tuple[float, object]:
    started = time.perf_counter()
    result = call()
    return time.perf_counter() - started, result


class Failed:
    """The outcome of a query that raised RuntimeError (the generated dumps hold references
    to freed addresses, which the lookups and both searches report when they meet them)."""


def attempt(call) -> tuple[float, object]:
    started = time.perf_counter()
    try:
        result = call()
    except RuntimeError:
        result = Failed()
    return time.perf_counter() - started, result


def milliseconds(seconds: float) -> str:
    return f"{seconds * 1e3:.3f} ms"


def report(name: str, latencies: list[float]) -> None:
    ordered = sorted(latencies)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    print(f"{name}: median {milliseconds(statistics.median(ordered))}, p99 {milliseconds(p99)}, "
          f"n={len(ordered)}")


def sample_ids(explorer, rng: random.Random, pages: int) -> list[int]:
    """Ids from random pages of the all-types listing."""
    page_count = explorer.get_page_count_for_type(ALL_TYPES)
    ids: list[int] = []
    for page in rng.sample(range(page_count), min(pages, page_count)):
        ids.extend(summary.id for summary in explorer.get_objects_by_type(ALL_TYPES, page))
    return ids


def bench_get_object(explorer, ids: list[int]) -> list[int]:
    """Also returns the ids whose lookup succeeds (no dangling reference)."""
    elapsed, outcomes = timed(lambda: [attempt(lambda: explorer.get_object(id))[1] for id in ids])
    failed = sum(isinstance(outcome, Failed) for outcome in outcomes)
    print(f"get_object: {len(ids) / elapsed:,.0f} calls/s over {len(ids)} random objects "
          f"({failed} meet a dangling reference)")
    return [id for id, outcome in zip(ids, outcomes) if not isinstance(outcome, Failed)]


def bench_listing(explorer, subtree: bool, repeats: int) -> None:
    last_page = explorer.get_page_count_for_type(ALL_TYPES) - 1
    label = "subtree" if subtree else "direct"
    for page in (0, last_page):
        latencies = []
        for _ in range(repeats):
            elapsed, summaries = timed(lambda: explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, subtree, page))
            latencies.append(elapsed)
        report(f"all-types page {page} by {label} size ({len(summaries)} objects)", latencies)


def bench_type_summaries(explorer, repeats: int) -> None:
    latencies = []
    for _ in range(repeats):
        elapsed, rows = timed(explorer.get_type_summaries)
        latencies.append(elapsed)
    report(f"get_type_summaries ({len(rows)} rows)", latencies)


def reachable_partner(explorer, rng: random.Random, start: int, steps: int) -> int:
    """The end of a random walk of up to `steps` references from `start`, so that a path exists
    (unless the walk went through a module, which the search will not enter)."""
    current = start
    for _ in range(steps):
        _, record = attempt(lambda: explorer.get_object(current))
        if isinstance(record, Failed) or not record.references:
            break
        current = rng.choice(record.references).id
    return current


def outcome_counts(outcomes: list[object]) -> str:
    failed = sum(isinstance(outcome, Failed) for outcome in outcomes)
    missing = sum(outcome is None for outcome in outcomes)
    return f"{len(outcomes) - failed - missing} found, {missing} none, {failed} failed"


def bench_paths(explorer, rng: random.Random, ids: list[int], large: list[int], pairs: int) -> None:
    for label, starts in (("random pairs", ids), ("from one of the 1000 largest objects", large)):
        latencies, outcomes = [], []
        for _ in range(pairs):
            start, end = rng.choice(starts), rng.choice(ids)
            elapsed, path = attempt(lambda: explorer.find_path_between_objects(start, end, set()))
            latencies.append(elapsed)
            outcomes.append(path)
        report(f"path search, {label} ({outcome_counts(outcomes)})", latencies)

    latencies, outcomes = [], []
    for _ in range(pairs):
        start = rng.choice(ids)
        end = reachable_partner(explorer, rng, start, rng.randrange(1, 8))
        elapsed, path = attempt(lambda: explorer.find_path_between_objects(start, end, set()))
        latencies.append(elapsed)
        outcomes.append(path)
    lengths = [len(path) for path in outcomes if isinstance(path, list)]
    mean_length = statistics.mean(lengths) if lengths else 0
    report(f"path search, pairs joined by a random walk ({outcome_counts(outcomes)}, "
           f"mean length {mean_length:.1f})", latencies)


def bench_common(explorer, rng: random.Random, ids: list[int], large: list[int], pairs: int) -> None:
    for label, population in (("random pairs", ids), ("pairs of the 1000 largest objects", large)):
        latencies, outcomes = [], []
        for _ in range(pairs):
            first, second = rng.choice(population), rng.choice(population)
            elapsed, found = attempt(lambda: explorer.find_largest_common_reachable_object(first, second))
            latencies.append(elapsed)
            outcomes.append(found)
        report(f"common-object search, {label} ({outcome_counts(outcomes)})", latencies)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--pairs", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--store", help="store directory to reuse (filled first when empty)")
    parser.add_argument("--drop-dangling", action="store_true",
                        help="leave out references to ids without a record, so that searches run to the end")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="vesker-query-bench-") as scratch:
        directory = args.store or scratch
        os.makedirs(directory, exist_ok=True)
        explorer = vesker_analysis.HeapDumpExplorer(directory)
        if explorer.get_count_for_type(ALL_TYPES) == 0:
            fill(explorer, args.objects, args.seed, args.drop_dangling)
        print(f"store: {explorer.get_count_for_type(ALL_TYPES)} objects, "
              f"{explorer.get_page_count_for_type(ALL_TYPES)} pages")
        rng = random.Random(args.seed)
        ids = sample_ids(explorer, rng, pages=20)
        has_sizes = explorer.get_object(ids[0]).subtree_size is not None

        ids = bench_get_object(explorer, ids)
        bench_listing(explorer, subtree=has_sizes, repeats=args.repeats)
        bench_type_summaries(explorer, args.repeats)
        # The objects that reach the most, where searches have the most ground to cover.
        large = [summary.id for summary in explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, has_sizes, 0)]
        bench_paths(explorer, rng, ids, large, args.pairs)
        if has_sizes:
            bench_common(explorer, rng, ids, large, args.pairs)
        else:
            print("common-object search skipped: the store has no subtree sizes")
        del explorer
    return 0


if __name__ == "__main__":
    sys.exit(main())
