"""Typical use of the extension, checked by mypy in strict mode against the stubs.

Every result is pinned with assert_type, so a stub that widens a result to Any
or names the wrong type fails the check; the ignored lines must stay errors.
"""

from __future__ import annotations

from typing import assert_type

from vesker_analysis import (
    EstimatorPrecision,
    HeapDumpExplorer,
    ObjectRecord,
    ObjectSummary,
    TypeSummary,
)


def describe(summary: ObjectSummary) -> str:
    assert_type(summary.id, int)
    assert_type(summary.type, str)
    assert_type(summary.value, str | None)
    assert_type(summary.size, int)
    assert_type(summary.subtree_size, int | None)
    return f"{summary.type} {summary.value or ''} {summary.size}"


def explore(directory: str) -> None:
    explorer = HeapDumpExplorer(directory)
    lines = [
        b'{"id":1,"type":"builtins.list","references":[2],"value":null,"size":64}',
        b'{"id":2,"type":"builtins.str","references":[],"value":"x","size":50}',
    ]
    assert_type(explorer.import_lines(lines, EstimatorPrecision.Exact), None)
    explorer.import_lines((line for line in lines), estimator_precision=EstimatorPrecision.Low)
    assert_type(int(EstimatorPrecision.NoEstimates), int)

    record = explorer.get_object(1)
    assert_type(record, ObjectRecord | None)
    if record is not None:
        assert_type(record.references, list[ObjectSummary])
        assert_type(record.referrers, list[ObjectSummary])
        assert_type(record.subtree_size, int | None)
        print(record.id, record.type, record.value, record.size)
        print([describe(reference) for reference in record.references])

    summaries = explorer.get_type_summaries()
    assert_type(summaries, list[tuple[str, TypeSummary]])
    for name, summary in summaries:
        print(name, summary.count + summary.total_size)

    assert_type(explorer.get_count_for_type("All Types"), int)
    assert_type(explorer.get_page_count_for_type(typename="builtins.str"), int)
    assert_type(explorer.get_objects_by_type("builtins.str", None), list[ObjectSummary])
    by_size = explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)
    assert_type(by_size, list[ObjectSummary])

    path = explorer.find_path_between_objects(1, 2, set())
    assert_type(path, list[ObjectSummary] | None)
    explorer.find_path_between_objects(start_id=1, end_id=2, avoiding_ids=frozenset({3}))
    assert_type(explorer.find_largest_common_reachable_object(1, 2), int | None)

    explorer.get_object("1")  # type: ignore[arg-type]
    explorer.get_objects_by_type("builtins.str")  # type: ignore[call-arg]
    explorer.find_path_between_objects(1, 2, [3])  # type: ignore[arg-type]
    explorer.import_lines(["{}"], EstimatorPrecision.Exact)  # type: ignore[list-item]
    explorer.import_lines(lines, 4)  # type: ignore[arg-type]
    summary_of_first = by_size[0]
    summary_of_first.size = 3  # type: ignore[misc]

