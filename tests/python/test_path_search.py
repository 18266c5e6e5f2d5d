"""find_path_between_objects: breadth-first search with avoided ids, module objects and the size cut-off."""

import pytest

from records import line
from vesker_analysis import EstimatorPrecision, ObjectSummary

NO_ESTIMATES = EstimatorPrecision.NoEstimates
MODULE = "builtins.module"


def path_ids(explorer, start, end, avoiding=frozenset()):
    path = explorer.find_path_between_objects(start, end, avoiding)
    return None if path is None else [summary.id for summary in path]


def test_the_first_discovered_shortest_path_is_returned(explorer):
    # 1 -> 2 -> 5 and 1 -> 3 -> 5 are both shortest; 2 is discovered first. 1 -> 4 -> 6 -> 5 is longer.
    explorer.import_lines(
        [line(1, references=[4, 2, 3], value="root"), line(2, references=[5]), line(3, references=[5]),
         line(4, references=[6]), line(6, references=[5]), line(5, type="E", size=3)],
        NO_ESTIMATES,
    )
    path = explorer.find_path_between_objects(1, 5, set())
    assert type(path) is list and all(type(step) is ObjectSummary for step in path)
    assert [step.id for step in path] == [1, 2, 5]
    assert (path[0].value, path[-1].type, path[-1].size) == ("root", "E", 3)
    assert path_ids(explorer, 1, 5, {2}) == [1, 3, 5]
    assert path_ids(explorer, 1, 5, frozenset({2, 3})) == [1, 4, 6, 5]
    assert path_ids(explorer, 1, 5, {2, 3, 6}) is None
    assert path_ids(explorer, 5, 1) is None


def test_start_equal_to_end_is_a_path_of_one_whatever_is_avoided(explorer):
    explorer.import_lines([line(1, type=MODULE, references=[1])], NO_ESTIMATES)
    assert path_ids(explorer, 1, 1, {1}) == [1]


def test_an_avoided_or_module_end_is_never_reached(explorer):
    explorer.import_lines([line(1, references=[2, 3]), line(2), line(3, type=MODULE)], NO_ESTIMATES)
    assert path_ids(explorer, 1, 2) == [1, 2]
    assert path_ids(explorer, 1, 2, {2}) is None
    assert path_ids(explorer, 1, 3) is None


def test_module_objects_are_not_passed_through_but_a_module_start_is_expanded(explorer):
    explorer.import_lines(
        [line(1, references=[2, 3]), line(2, type=MODULE, references=[4]), line(3, references=[5]),
         line(5, references=[4]), line(4)],
        NO_ESTIMATES,
    )
    assert path_ids(explorer, 1, 4) == [1, 3, 5, 4]
    assert path_ids(explorer, 2, 4) == [2, 4]
    assert path_ids(explorer, 2, 4, {2}) == [2, 4]


def test_cycles_end_and_every_object_occurs_once(explorer):
    explorer.import_lines(
        [line(1, references=[2]), line(2, references=[3, 1]), line(3, references=[1, 2, 4]), line(4, references=[1]),
         line(9, references=[9])],
        NO_ESTIMATES,
    )
    assert path_ids(explorer, 2, 4) == [2, 3, 4]
    assert path_ids(explorer, 4, 3) == [4, 1, 2, 3]
    assert path_ids(explorer, 1, 9) is None


def test_objects_smaller_than_the_end_are_cut_off(explorer):
    # 2 reaches 4 but its stored subtree size claims otherwise; equal sizes stay in the search.
    explorer.import_lines(
        [line(1, references=[2, 3], subtree_size=100), line(2, references=[4], subtree_size=9),
         line(3, references=[5], subtree_size=10), line(5, references=[4], subtree_size=10),
         line(4, subtree_size=10)],
        NO_ESTIMATES,
    )
    assert path_ids(explorer, 1, 4) == [1, 3, 5, 4]
    assert path_ids(explorer, 2, 4) is None


def test_a_start_smaller_than_the_end_reads_none_of_its_references(explorer):
    explorer.import_lines([line(1, references=[99], subtree_size=5), line(2, subtree_size=6), line(3)],
                          NO_ESTIMATES)
    assert path_ids(explorer, 1, 2) is None
    # Against an end without a size the start is expanded, and its dangling reference read.
    with pytest.raises(RuntimeError) as error:
        path_ids(explorer, 1, 3)
    assert str(error.value) == "Decoding error: Missing record for ID 99"


def test_without_sizes_on_both_ends_nothing_is_cut_off(explorer):
    explorer.import_lines(
        [line(1, references=[2], subtree_size=1), line(2, references=[3], subtree_size=1), line(3)], NO_ESTIMATES)
    assert path_ids(explorer, 1, 3) == [1, 2, 3]
    explorer.import_lines([line(4, references=[5]), line(5, subtree_size=1000)], NO_ESTIMATES)
    assert path_ids(explorer, 4, 5) == [4, 5]


def test_exact_sizes_cut_off_only_what_cannot_reach_the_end(explorer):
    # 6 cannot reach 4, so it is cut off before its dangling reference is read.
    lines = [line(1, references=[6, 2, 3], size=1), line(6, references=[99], size=1), line(2, references=[4], size=50),
             line(3, references=[4], size=1), line(4, references=[5], size=30), line(5, size=1)]
    explorer.import_lines(lines, EstimatorPrecision.Exact)
    assert path_ids(explorer, 1, 4) == [1, 2, 4]
    assert path_ids(explorer, 1, 4, {2}) == [1, 3, 4]


def test_without_sizes_the_same_search_meets_the_dangling_reference(explorer):
    lines = [line(1, references=[6, 2], size=1), line(6, references=[99], size=1), line(2, references=[4]), line(4)]
    explorer.import_lines(lines, NO_ESTIMATES)
    with pytest.raises(RuntimeError) as error:
        path_ids(explorer, 1, 4)
    assert str(error.value) == "Decoding error: Missing record for ID 99"


def test_missing_start_or_end(explorer):
    explorer.import_lines([line(1)], NO_ESTIMATES)
    for start, end, message in [(7, 8, "Start ID 7 not found in database"), (7, 1, "Start ID 7 not found in database"),
                                (1, 8, "End ID 8 not found in database")]:
        with pytest.raises(RuntimeError) as error:
            explorer.find_path_between_objects(start, end, set())
        assert str(error.value) == message


def test_a_dangling_reference_fails_when_examined_unless_avoided(explorer):
    explorer.import_lines([line(1, references=[2, 99, 3]), line(2, references=[4]), line(3), line(4)],
                          NO_ESTIMATES)
    # 99 is examined while expanding 1, before 2 (which leads to 4) is expanded.
    with pytest.raises(RuntimeError) as error:
        explorer.find_path_between_objects(1, 4, set())
    assert str(error.value) == "Decoding error: Missing record for ID 99"
    assert path_ids(explorer, 1, 4, {99}) == [1, 2, 4]
    # Arriving first ends the search before anything dangles: the end is tested when taken.
    assert path_ids(explorer, 2, 4) == [2, 4]


@pytest.mark.parametrize(
    ("arguments", "error_type", "message"),
    [
        ((1, 2, [3]), TypeError, "argument 'avoiding_ids': 'list' object is not an instance of 'set' or 'frozenset'"),
        ((1, 2, None), TypeError,
         "argument 'avoiding_ids': 'NoneType' object is not an instance of 'set' or 'frozenset'"),
        ((1, 2, {"3"}), TypeError, "argument 'avoiding_ids': 'str' object cannot be interpreted as an integer"),
        ((1, 2, {-3}), OverflowError, "can't convert negative int to unsigned"),
        ((1, 2, {2**64}), OverflowError, "int too big to convert"),
        (("1", -2, set()), TypeError, "argument 'start_id': 'str' object cannot be interpreted as an integer"),
        ((1, -2, [3]), OverflowError, "can't convert negative int to unsigned"),
        ((1,), TypeError,
         "HeapDumpExplorer.find_path_between_objects() missing 2 required positional arguments: "
         "'end_id' and 'avoiding_ids'"),
    ],
)
def test_argument_errors_come_before_any_read(explorer, arguments, error_type, message):
    # Neither object exists, so a read would fail differently.
    with pytest.raises(error_type) as error:
        explorer.find_path_between_objects(*arguments)
    assert type(error.value) is error_type
    assert str(error.value) == message


def test_set_subclasses_and_keywords(explorer):
    class Ids(frozenset):
        pass

    explorer.import_lines([line(1, references=[2, 3]), line(2, references=[3]), line(3)], NO_ESTIMATES)
    assert path_ids(explorer, 1, 3, Ids({3})) is None
    path = explorer.find_path_between_objects(avoiding_ids=set(), end_id=3, start_id=1)
    assert [step.id for step in path] == [1, 3]


def test_method_documentation(explorer):
    method = type(explorer).find_path_between_objects
    assert method.__text_signature__ == "($self, start_id, end_id, avoiding_ids)"
    assert method.__doc__ == "Find one reference path between two objects, optionally skipping specific IDs."
