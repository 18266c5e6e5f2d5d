"""Retained sizes through vesker.engine: stored results against the definition, computed by
brute force on random graphs; the real dump; staleness after a later import."""

from __future__ import annotations

import gzip
import random
from pathlib import Path

import pytest

import vesker_analysis
from graphs import MODULE, encode_lines, latest_records, random_graph
from vesker import engine

DATA = Path(__file__).resolve().parents[1] / "data"
NO_ESTIMATES = vesker_analysis.EstimatorPrecision.NoEstimates


def successors(latest: dict[int, dict]) -> dict[int, list[int]]:
    return {oid: [r for r in rec["references"] if r in latest] for oid, rec in latest.items()}


def reach(succ: dict[int, list[int]], starts, removed=None) -> set[int]:
    seen: set[int] = set()
    stack = [s for s in starts if s != removed]
    seen.update(stack)
    while stack:
        for w in succ[stack.pop()]:
            if w != removed and w not in seen:
                seen.add(w)
                stack.append(w)
    return seen


def expected_roots(latest: dict[int, dict]) -> tuple[list[int], set[int]]:
    """Root edges by their definition: no referrer, a module, or the smallest id of a cycle that
    nothing outside it refers to; and the objects reached only through the last kind."""
    succ = successors(latest)
    referred = {w for targets in succ.values() for w in targets}
    roots = [o for o, rec in latest.items() if o not in referred or rec["type"] == MODULE]
    rest = set(latest) - reach(succ, roots)
    from_each = {o: reach(succ, [o]) for o in rest}
    for o in rest:
        component = {u for u in rest if o in from_each[u] and u in from_each[o]}
        referrers_outside = any(o in from_each[u] for u in rest - component)
        if not referrers_outside and o == min(component):
            roots.append(o)
    return roots, rest


def brute_force(latest: dict[int, dict]) -> tuple[dict[int, set[int]], set[int]]:
    """What each object alone keeps alive (itself included), and the unreachable objects."""
    succ = successors(latest)
    roots, unreachable = expected_roots(latest)
    return {oid: set(latest) - reach(succ, roots, removed=oid) for oid in latest}, unreachable


def import_and_compute(store_dir, records) -> engine.Store:
    explorer = vesker_analysis.HeapDumpExplorer(str(store_dir))
    explorer.import_lines(encode_lines(records), NO_ESTIMATES)
    store = engine.Store(store_dir)
    store.compute_retained()
    return store


@pytest.mark.parametrize("seed", range(12))
def test_stored_retained_sizes_match_the_definition(tmp_path, seed):
    rng = random.Random(seed)
    records = random_graph(rng, rng.randrange(1, 40), module_share=0.05)
    latest = latest_records(records)
    store = import_and_compute(tmp_path, records)
    freed, unreachable = brute_force(latest)
    size = {oid: rec["size"] for oid, rec in latest.items()}

    rows = store.top_retained(limit=10_000)
    assert {r.id: r.retained for r in rows} == {o: sum(size[x] for x in f) for o, f in freed.items()}
    assert [r.retained for r in rows] == sorted((r.retained for r in rows), reverse=True)
    assert {r.id for r in rows if r.unreachable} == unreachable
    types = {rec["type"] for rec in latest.values()}
    roots = store.dominator_tree(None, expand=types, limit=10_000)
    assert sum(r.retained for r in roots) == sum(size.values())
    merged = store.dominator_tree(None, limit=10_000)
    assert sorted(r.count for r in merged if r.id is None) == sorted(
        n for n in (sum(1 for r in roots if r.type == t) for t in types) if n > 1)
    # Counted once: the objects that at least one object of the type keeps alive alone.
    for type_name, once in store.type_retained().items():
        covered = set().union(*(freed[o] for o, rec in latest.items() if rec["type"] == type_name))
        assert once == sum(size[x] for x in covered), type_name
    # The dominator chain: each one alone keeps the object alive.
    for oid in list(latest)[:8]:
        answer = store.why(oid)
        chain = [r.id for r in answer.dominators]
        assert chain[-1] == oid and all(oid in freed[d] for d in chain)
        path = [r.id for r in answer.path]
        assert path[-1] == oid and answer.path[0].root_edge
        assert all(b in latest[a]["references"] for a, b in zip(path, path[1:]))


def test_the_roots_of_a_real_dump_retain_the_whole_heap(tmp_path):
    with gzip.open(DATA / "heap-dump-stdlib.jsonl.gz", "rb") as dump:
        lines = list(dump)
    explorer = vesker_analysis.HeapDumpExplorer(str(tmp_path))
    explorer.import_lines(lines, NO_ESTIMATES)
    total = explorer.get_type_summaries()
    store = engine.Store(tmp_path)
    run = store.compute_retained()
    heap = next(s for name, s in total if name == "All Types").total_size
    assert run.total_size == heap
    assert sum(r.retained for r in store.dominator_tree(None, limit=1 << 40)) == heap


def test_a_later_import_makes_retained_sizes_stale(tmp_path):
    line = b'{"id":%d,"type":"T","references":[],"size":8}'
    explorer = vesker_analysis.HeapDumpExplorer(str(tmp_path))
    explorer.import_lines([line % 1], NO_ESTIMATES)
    store = engine.Store(tmp_path)
    assert store.retained_state() == "missing"
    store.compute_retained()
    store.set_metadata("precision", "NoEstimates")  # other facts leave them fresh
    assert store.retained_state() == "fresh"
    explorer.import_lines([line % 2], NO_ESTIMATES)
    assert store.retained_state() == "stale"
    assert store.compute_retained().total_size == 16
    assert store.retained_state() == "fresh"
