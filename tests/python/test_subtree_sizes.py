"""Subtree sizes, type summaries and listings compared with independent models.

Every store is checked against graphs.StoreModel: the exact sizes come from
one breadth-first search per object, the estimated ones from a re-computation
of the size sketch over the graph's components.
"""

import io
import json
import random

import pytest

import graphs
from vesker_analysis import EstimatorPrecision

MISSING = "error while decoding: Decoding error: Missing record for ID {}"


def _summary_fields(summary):
    return summary.id, summary.type, summary.size, summary.subtree_size


def check_store(explorer, model: graphs.StoreModel) -> None:
    """Every query that reads sizes agrees with the model."""
    summaries = [(name, s.count, s.total_size) for name, s in explorer.get_type_summaries()]
    assert summaries == model.type_summaries()

    def expected(oid):
        record = model.latest[oid]
        return oid, record["type"], record["size"], model.subtree[oid]

    for key in model.keys():
        count = sum(1 for k, _, _ in model.size_rows if k == key)
        assert explorer.get_count_for_type(key) == count, key
        by_type = explorer.get_objects_by_type(key, None)
        assert [_summary_fields(s) for s in by_type] == [expected(i) for i in model.ids_by_type(key)], key
        by_size = explorer.get_objects_by_type_ordered_by_size(key, False, None)
        assert [s.id for s in by_size] == model.ids_by_size(key, False), key
        by_subtree = explorer.get_objects_by_type_ordered_by_size(key, True, None)
        # The summaries come from the current records, the order from the index.
        assert [_summary_fields(s) for s in by_subtree] == [expected(i) for i in model.ids_by_size(key, True)], key

    for oid in model.latest:
        missing = model.first_missing_reference(oid)
        if missing is not None:
            with pytest.raises(RuntimeError) as info:
                explorer.get_object(oid)
            assert str(info.value) == MISSING.format(missing)
            continue
        record = explorer.get_object(oid)
        assert (record.id, record.type, record.size, record.subtree_size) == expected(oid)
        assert [s.id for s in record.references] == model.latest[oid]["references"]
        assert [s.id for s in record.referrers] == model.referrers(oid)


def exact(latest):
    return graphs.brute_force_subtree_sizes(latest)


@pytest.mark.parametrize("id_style", ["small", "cpython", "high", "mixed"])
@pytest.mark.parametrize("seed", range(3))
def test_exact_sizes_are_the_sizes_of_everything_reachable(explorer, seed, id_style):
    rng = random.Random(f"exact-{seed}-{id_style}")
    records = graphs.random_graph(rng, rng.randrange(50, 301), id_style=id_style)
    explorer.import_lines(graphs.encode_lines(records), EstimatorPrecision.Exact)
    model = graphs.StoreModel()
    model.import_records(records, exact)
    check_store(explorer, model)


def test_exact_oracles_agree():
    # The Tarjan-based benchmark peer must agree with plain reachability, or the
    # comparisons that rely on it mean nothing.
    from subtree_peer import exact_subtree_sizes

    for seed in range(20):
        rng = random.Random(f"oracles-{seed}")
        records = graphs.random_graph(rng, rng.randrange(1, 200), module_share=0.15)
        assert exact_subtree_sizes(records) == exact(graphs.latest_records(records))


def test_exact_sizes_of_a_generated_dump_match_the_peer(explorer):
    from generate_dump import generate
    from subtree_peer import exact_subtree_sizes

    buffer = io.BytesIO()
    generate(buffer, 4000, seed=7)
    lines = buffer.getvalue().splitlines(keepends=True)
    explorer.import_lines(lines, EstimatorPrecision.Exact)
    expected = exact_subtree_sizes(json.loads(line) for line in lines)
    stored = {s.id: s.subtree_size for s in explorer.get_objects_by_type("All Types", None)}
    assert stored == expected


def test_type_summaries_count_types_with_a_single_object(explorer):
    # A key with one entry keeps it inline, without a page of duplicates.
    records = [{"id": 1, "type": "A", "references": [2], "size": 5},
               {"id": 2, "type": "B", "references": [], "size": 1},
               {"id": 3, "type": "B", "references": [], "size": 2},
               {"id": 4, "type": "B", "references": [1], "size": 3},
               {"id": 5, "type": "C", "references": [], "size": 7}]
    explorer.import_lines(graphs.encode_lines(records), EstimatorPrecision.Exact)
    summaries = [(name, s.count, s.total_size) for name, s in explorer.get_type_summaries()]
    assert summaries == [("A", 1, 5), ("All Types", 5, 18), ("B", 3, 6), ("C", 1, 7)]
    assert [explorer.get_count_for_type(t) for t in ("A", "B", "C")] == [1, 3, 1]


@pytest.mark.parametrize("seed", range(3))
def test_no_estimates_stores_no_subtree_size(explorer, seed):
    rng = random.Random(f"none-{seed}")
    records = graphs.random_graph(rng, rng.randrange(50, 301))
    explorer.import_lines(graphs.encode_lines(records), EstimatorPrecision.NoEstimates)
    model = graphs.StoreModel()
    model.import_records(records)
    check_store(explorer, model)
    assert all(s.subtree_size is None for s in explorer.get_objects_by_type("All Types", None))
    assert explorer.get_objects_by_type_ordered_by_size("All Types", True, None) == []


def _changed(rng, records, ids):
    """Re-imported versions of some records: other sizes, types and references."""
    out = []
    for record in rng.sample(records, len(records) // 5):
        changed = dict(record)
        choice = rng.randrange(3)
        if choice == 0:
            changed["size"] = rng.randrange(1001)
        elif choice == 1:
            changed["type"] = rng.choice(graphs.TYPE_NAMES + ["All Types"])
        else:
            changed["references"] = [rng.choice(ids) for _ in range(rng.randrange(4))]
        out.append(changed)
    return out


PLANS = [
    (EstimatorPrecision.Exact, EstimatorPrecision.Exact, EstimatorPrecision.Exact),
    (EstimatorPrecision.Exact, EstimatorPrecision.NoEstimates, EstimatorPrecision.Exact),
    (EstimatorPrecision.NoEstimates, EstimatorPrecision.Exact, EstimatorPrecision.NoEstimates),
]


@pytest.mark.parametrize("plan", PLANS, ids=["exact-exact-exact", "exact-none-exact", "none-exact-none"])
@pytest.mark.parametrize("seed", range(3))
def test_several_imports_into_one_store(explorer, seed, plan):
    rng = random.Random(f"several-{seed}")
    records = graphs.random_graph(rng, rng.randrange(60, 301), dangling_share=0.02)
    ids = [r["id"] for r in records]
    # The first part refers to ids that only later parts bring, so earlier
    # runs see dangling references that later runs resolve.
    cut1, cut2 = sorted(rng.sample(range(1, len(records)), 2))
    parts = [records[:cut1], records[cut1:cut2] + _changed(rng, records[:cut1], ids), records[cut2:]]
    model = graphs.StoreModel()
    for part, precision in zip(parts, plan):
        explorer.import_lines(graphs.encode_lines(part), precision)
        model.import_records(part, exact if precision == EstimatorPrecision.Exact else None)
        check_store(explorer, model)


def test_reimport_lists_objects_whose_size_changed_twice(explorer):
    rng = random.Random("relisted")
    records = graphs.random_graph(rng, 200, module_share=0.0, dangling_share=0.0)
    first, second = records[:100], records[100:]
    model = graphs.StoreModel()
    for part in (first, second, first):
        explorer.import_lines(graphs.encode_lines(part), EstimatorPrecision.Exact)
        model.import_records(part, exact)
    check_store(explorer, model)
    listing = explorer.get_objects_by_type_ordered_by_size("All Types", True, None)
    per_id = {}
    for s in listing:
        per_id[s.id] = per_id.get(s.id, 0) + 1
    # Each run adds one entry per object and key; equal (size, id) entries merge.
    assert len(listing) == len({(s, i) for k, s, i in model.subtree_rows if k == "All Types"})
    assert 2 in per_id.values() and 1 in per_id.values()
    assert set(per_id) == set(model.latest)


def test_sketch_model_reproduces_the_worked_example():
    pytest.importorskip("xxhash")
    first = graphs.sketch_vector(0, 1000, 7)
    assert first == [0x45D4, 0x4438, 0x45C2, 0x44CE, 0x46A9, 0x44D1, 0x43A0]
    assert graphs.sketch_estimate(first) == 736
    both = graphs.sketch_registers([first, graphs.sketch_vector(1, 3000, 7)], 7)
    assert both == [0x45D4, 0x4598, 0x485D, 0x44EE, 0x46A9, 0x4516, 0x4642]
    assert graphs.sketch_estimate(both) == 2400


@pytest.mark.parametrize("precision", ["Low", "Medium", "High"])
@pytest.mark.parametrize("seed", range(3))
def test_estimated_sizes_match_the_sketch_model(explorer, precision, seed):
    pytest.importorskip("xxhash")
    rng = random.Random(f"sketch-{precision}-{seed}")
    records = graphs.random_graph(rng, rng.randrange(50, 201))
    registers = graphs.SKETCH_REGISTERS[precision]
    explorer.import_lines(graphs.encode_lines(records), getattr(EstimatorPrecision, precision))
    model = graphs.StoreModel()
    model.import_records(records, lambda latest: graphs.sketch_subtree_sizes(latest, registers))
    check_store(explorer, model)

