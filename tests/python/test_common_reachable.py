"""find_largest_common_reachable_object: two best-first searches over subtree sizes sharing one heap."""

import pytest

from records import line
from vesker_analysis import EstimatorPrecision

NO_ESTIMATES = EstimatorPrecision.NoEstimates
MODULE = "builtins.module"


def sized(id, subtree_size, references=(), **fields):
    return line(id, references=references, subtree_size=subtree_size, **fields)


def common(explorer, first, second):
    return explorer.find_largest_common_reachable_object(first, second)


def test_the_largest_shared_object_wins_over_earlier_listed_ones(explorer):
    explorer.import_lines(
        [sized(1, 100, [3, 4]), sized(2, 90, [3, 4]), sized(3, 5), sized(4, 50, [5]), sized(5, 60)], NO_ESTIMATES)
    result = common(explorer, 1, 2)
    assert type(result) is int and result == 4
    assert common(explorer, 2, 1) == 4
    # Sizes are taken as stored: 5 is larger than 4, which refers to it, and comes out first.
    explorer.import_lines([sized(6, 80, [5]), sized(7, 80, [4])], NO_ESTIMATES)
    assert common(explorer, 6, 7) == 5


def test_an_object_counts_as_reachable_from_itself(explorer):
    explorer.import_lines([sized(1, 10, [2]), sized(2, 9, [3]), sized(3, 1), sized(4, 7, [3])], NO_ESTIMATES)
    assert common(explorer, 1, 1) == 1
    assert common(explorer, 1, 2) == 2
    assert common(explorer, 3, 1) == 3
    assert common(explorer, 4, 1) == 3


def test_equal_sizes_resolve_by_the_heap_order(explorer):
    # Both searches push 3 and then 4, of equal size; the heap hands out the first side's 3,
    # then the second side's 3 (a hole sinking along the right one of two equal children).
    explorer.import_lines([sized(1, 100, [3, 4]), sized(2, 100, [3, 4]), sized(3, 10), sized(4, 10)], NO_ESTIMATES)
    assert common(explorer, 1, 2) == 3
    explorer.import_lines([sized(5, 100, [4, 3]), sized(6, 100, [4, 3])], NO_ESTIMATES)
    assert common(explorer, 5, 6) == 4


def test_disjoint_and_module_separated_objects_share_nothing(explorer):
    explorer.import_lines(
        [sized(1, 10, [2]), sized(2, 5), sized(3, 10, [4]), sized(4, 5),
         sized(5, 10, [7]), sized(6, 10, [7]), sized(7, 9, [8], type=MODULE), sized(8, 1)],
        NO_ESTIMATES,
    )
    assert common(explorer, 1, 3) is None
    assert common(explorer, 5, 6) is None
    # A module is still where a search starts.
    assert common(explorer, 7, 8) == 8
    assert common(explorer, 7, 7) == 7


def test_cycles_end(explorer):
    explorer.import_lines(
        [sized(1, 30, [2]), sized(2, 30, [1, 3]), sized(3, 30, [2]), sized(4, 30, [4])], NO_ESTIMATES)
    assert common(explorer, 1, 4) is None
    assert common(explorer, 1, 3) in {1, 2, 3}


def test_a_module_reference_is_read_but_needs_no_size(explorer):
    explorer.import_lines([sized(1, 10, [9, 2]), line(9, type=MODULE), sized(2, 3), sized(3, 5, [2])], NO_ESTIMATES)
    assert common(explorer, 1, 3) == 2


def test_missing_objects_and_sizes(explorer):
    explorer.import_lines(
        [sized(1, 10, [2]), line(2), line(3), sized(4, 10, [99]), sized(5, 10)], NO_ESTIMATES)
    cases = [
        (7, 8, "Object ID 7 not found in database"),
        (7, 1, "Object ID 7 not found in database"),
        (1, 8, "Object ID 8 not found in database"),
        (3, 8, "No subtree size in 3"),
        (5, 3, "No subtree size in 3"),
        (1, 5, "No subtree size in 2"),
        (4, 5, "Object ID 99 not found in database"),
    ]
    for first, second, message in cases:
        with pytest.raises(RuntimeError) as error:
            common(explorer, first, second)
        assert str(error.value) == message, (first, second)


def test_without_estimates_no_object_has_a_size(explorer):
    explorer.import_lines([line(1, references=[2]), line(2)], NO_ESTIMATES)
    with pytest.raises(RuntimeError) as error:
        common(explorer, 1, 2)
    assert str(error.value) == "No subtree size in 1"


def test_exact_sizes_give_the_largest_common_object(explorer):
    explorer.import_lines(
        [line(1, references=[3, 4], size=1), line(2, references=[4, 3], size=1), line(3, size=10),
         line(4, references=[5], size=2), line(5, size=20), line(6, references=[1], size=1)],
        EstimatorPrecision.Exact,
    )
    assert common(explorer, 1, 2) == 4
    assert common(explorer, 6, 1) == 1
    assert common(explorer, 6, 3) == 3


@pytest.mark.parametrize(
    ("arguments", "error_type", "message"),
    [
        (("1", 2), TypeError, "argument 'obj_id1': 'str' object cannot be interpreted as an integer"),
        ((1, None), TypeError, "argument 'obj_id2': 'NoneType' object cannot be interpreted as an integer"),
        ((-1, "x"), OverflowError, "can't convert negative int to unsigned"),
        ((1, 2**64), OverflowError, "int too big to convert"),
        ((1,), TypeError,
         "HeapDumpExplorer.find_largest_common_reachable_object() missing 1 required positional argument: 'obj_id2'"),
    ],
)
def test_argument_errors(explorer, arguments, error_type, message):
    with pytest.raises(error_type) as error:
        explorer.find_largest_common_reachable_object(*arguments)
    assert type(error.value) is error_type
    assert str(error.value) == message


def test_keywords_and_documentation(explorer):
    explorer.import_lines([sized(1, 1)], NO_ESTIMATES)
    assert explorer.find_largest_common_reachable_object(obj_id2=1, obj_id1=1) == 1
    method = type(explorer).find_largest_common_reachable_object
    assert method.__text_signature__ == "($self, obj_id1, obj_id2)"
    assert method.__doc__ == "Find the largest object reachable from both of a pair of objects"
