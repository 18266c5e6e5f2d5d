"""Type counts, summary rows and the paged listings by index order and by size."""

import pytest

from records import line
from vesker_analysis import EstimatorPrecision, ObjectSummary, TypeSummary

NO_ESTIMATES = EstimatorPrecision.NoEstimates
BAD_VALSIZE = "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size"
FIRST_WRAPPING_PAGE = 2**64 // 1000 + 1  # page * 1000 no longer fits in 64 bits


def ids(summaries):
    return [summary.id for summary in summaries]


def import_type(explorer, count, type="T", first_id=1):
    explorer.import_lines(
        (line(id, type=type, size=id % 7) for id in range(first_id, first_id + count)), NO_ESTIMATES)


def test_a_type_without_objects_has_nothing_to_list(explorer):
    import_type(explorer, 3)
    for typename in ("U", "t", "T "):
        assert explorer.get_count_for_type(typename) == 0
        assert explorer.get_page_count_for_type(typename) == 0
        for page in (None, 0, 1):
            assert explorer.get_objects_by_type(typename, page) == []
            assert explorer.get_objects_by_type_ordered_by_size(typename, False, page) == []
            assert explorer.get_objects_by_type_ordered_by_size(typename, True, page) == []


def test_pages_hold_a_thousand_objects(explorer):
    import_type(explorer, 1000)
    assert explorer.get_count_for_type("T") == 1000
    assert explorer.get_page_count_for_type("T") == 1
    assert len(explorer.get_objects_by_type("T", 0)) == 1000
    assert explorer.get_objects_by_type("T", 1) == []
    assert len(explorer.get_objects_by_type_ordered_by_size("T", False, 0)) == 1000
    assert explorer.get_objects_by_type_ordered_by_size("T", False, 1) == []

    import_type(explorer, 1, first_id=1001)
    assert explorer.get_count_for_type("T") == 1001
    assert explorer.get_page_count_for_type("T") == 2
    whole = ids(explorer.get_objects_by_type("T", None))
    assert sorted(whole) == list(range(1, 1002))
    assert ids(explorer.get_objects_by_type("T", 0)) + ids(explorer.get_objects_by_type("T", 1)) == whole
    assert len(explorer.get_objects_by_type("T", 1)) == 1
    by_size = ids(explorer.get_objects_by_type_ordered_by_size("T", False, None))
    assert by_size[-1:] == ids(explorer.get_objects_by_type_ordered_by_size("T", False, 1)) == [1001]


def test_pages_whose_start_does_not_fit_in_64_bits_are_past_the_end(explorer):
    import_type(explorer, 1001)
    for page in (FIRST_WRAPPING_PAGE - 1, FIRST_WRAPPING_PAGE, 2**64 - 1):
        assert explorer.get_objects_by_type("T", page) == []
        assert explorer.get_objects_by_type("All Types", page) == []
        assert explorer.get_objects_by_type_ordered_by_size("T", False, page) == []


def test_index_order_is_the_byte_order_of_little_endian_ids(explorer):
    explorer.import_lines([line(1), line(2), line(256), line(257), line(3, type="U")], NO_ESTIMATES)
    assert ids(explorer.get_objects_by_type("T", None)) == [256, 1, 257, 2]
    assert ids(explorer.get_objects_by_type("All Types", 0)) == [256, 1, 257, 2, 3]


def test_size_order_is_largest_first_then_ascending_id(explorer):
    explorer.import_lines(
        [line(256, size=5), line(2, size=9, value="two"), line(1, size=5), line(3, type="U", size=7),
         line(2**64 - 1, size=2**64 - 1, type="U")],
        NO_ESTIMATES,
    )
    assert ids(explorer.get_objects_by_type_ordered_by_size("T", False, None)) == [2, 1, 256]
    assert ids(explorer.get_objects_by_type_ordered_by_size("All Types", False, 0)) == [2**64 - 1, 2, 3, 1, 256]
    two = explorer.get_objects_by_type_ordered_by_size("T", False, 0)[0]
    assert type(two) is ObjectSummary
    assert (two.id, two.type, two.value, two.size, two.subtree_size) == (2, "T", "two", 9, None)


def test_without_estimates_the_subtree_listing_is_empty(explorer):
    explorer.import_lines([line(1, subtree_size=40), line(2, references=[1])], NO_ESTIMATES)
    assert explorer.get_objects_by_type_ordered_by_size("T", True, None) == []
    assert explorer.get_objects_by_type_ordered_by_size("All Types", True, 0) == []


def test_exact_subtree_sizes_order_the_subtree_listing(explorer):
    explorer.import_lines(
        [line(1, size=10, references=[2]), line(2, size=20, references=[3]), line(3, size=30),
         line(4, size=100, type="U")],
        EstimatorPrecision.Exact,
    )
    listing = explorer.get_objects_by_type_ordered_by_size("All Types", True, None)
    assert [(summary.id, summary.subtree_size) for summary in listing] == [(4, 100), (1, 60), (2, 50), (3, 30)]
    assert ids(explorer.get_objects_by_type_ordered_by_size("T", True, 0)) == [1, 2, 3]


def test_type_summaries_in_key_byte_order_with_the_all_types_row(explorer):
    assert explorer.get_type_summaries() == []
    explorer.import_lines(
        [line(1, type="b", size=3), line(2, type="a", size=4), line(3, type="ab", size=5), line(4, type="a", size=6),
         line(5, type="Z", size=1)],
        NO_ESTIMATES,
    )
    rows = explorer.get_type_summaries()
    assert all(type(row) is tuple and type(row[1]) is TypeSummary for row in rows)
    assert [(name, summary.count, summary.total_size) for name, summary in rows] == [
        ("All Types", 5, 19), ("Z", 1, 1), ("a", 2, 10), ("ab", 1, 5), ("b", 1, 3)]
    assert explorer.get_count_for_type("All Types") == 5
    assert explorer.get_count_for_type("a") == 2


def test_the_empty_type_name_is_refused_by_the_store(explorer):
    import_type(explorer, 2)
    calls = [
        lambda: explorer.get_count_for_type(""),
        lambda: explorer.get_page_count_for_type(""),
        lambda: explorer.get_objects_by_type("", None),
        lambda: explorer.get_objects_by_type("", 0),
        lambda: explorer.get_objects_by_type_ordered_by_size("", False, 0),
        lambda: explorer.get_objects_by_type_ordered_by_size("", True, None),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value) == BAD_VALSIZE


@pytest.mark.parametrize(
    ("call", "error_type", "message"),
    [
        (lambda e: e.get_objects_by_type("T"), TypeError,
         "HeapDumpExplorer.get_objects_by_type() missing 1 required positional argument: 'page'"),
        (lambda e: e.get_objects_by_type_ordered_by_size("T"), TypeError,
         "HeapDumpExplorer.get_objects_by_type_ordered_by_size() missing 2 required positional arguments: "
         "'subtree_size' and 'page'"),
        (lambda e: e.get_type_summaries(1), TypeError,
         "HeapDumpExplorer.get_type_summaries() takes 0 positional arguments but 1 was given"),
        (lambda e: e.get_count_for_type(None), TypeError,
         "argument 'typename': 'NoneType' object is not an instance of 'str'"),
        (lambda e: e.get_page_count_for_type(b"T"), TypeError,
         "argument 'typename': 'bytes' object is not an instance of 'str'"),
        (lambda e: e.get_objects_by_type_ordered_by_size(None, False, 0), TypeError,
         "argument 'type': 'NoneType' object is not an instance of 'str'"),
        (lambda e: e.get_objects_by_type_ordered_by_size("T", 1, 0), TypeError,
         "argument 'subtree_size': 'int' object is not an instance of 'bool'"),
        (lambda e: e.get_objects_by_type("T", "0"), TypeError,
         "argument 'page': 'str' object cannot be interpreted as an integer"),
        (lambda e: e.get_objects_by_type("T", -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda e: e.get_objects_by_type_ordered_by_size("T", True, 2**64), OverflowError,
         "int too big to convert"),
        # The type is converted first, so its error wins over the page's.
        (lambda e: e.get_objects_by_type(1, -1), TypeError,
         "argument 'typename': 'int' object is not an instance of 'str'"),
    ],
)
def test_argument_errors(explorer, call, error_type, message):
    with pytest.raises(error_type) as error:
        call(explorer)
    assert type(error.value) is error_type
    assert str(error.value) == message


def test_arguments_by_keyword(explorer):
    import_type(explorer, 2)
    assert explorer.get_count_for_type(typename="T") == 2
    assert ids(explorer.get_objects_by_type(page=None, typename="T")) == [1, 2]
    assert ids(explorer.get_objects_by_type_ordered_by_size(subtree_size=False, page=0, type="T")) == [2, 1]


def test_method_documentation(explorer):
    cls = type(explorer)
    assert cls.get_type_summaries.__text_signature__ == "($self)"
    assert cls.get_type_summaries.__doc__ == "Return summary rows for every known type."
    assert cls.get_count_for_type.__text_signature__ == "($self, typename)"
    assert cls.get_count_for_type.__doc__ == "Return the number of objects recorded for one type."
    assert cls.get_page_count_for_type.__doc__ == "Return the number of result pages for one type."
    assert cls.get_objects_by_type.__text_signature__ == "($self, typename, page)"
    assert cls.get_objects_by_type.__doc__ == "Return one page of objects for a type in id order."
    assert cls.get_objects_by_type_ordered_by_size.__text_signature__ == "($self, type, subtree_size, page)"
    assert (cls.get_objects_by_type_ordered_by_size.__doc__
            == "Return one page of objects ordered by direct size or estimated subtree size.")
    names = [name for name in vars(cls) if not name.startswith("_")]
    assert names == ["import_lines", "get_object", "get_type_summaries", "get_count_for_type",
                     "get_page_count_for_type", "get_objects_by_type", "get_objects_by_type_ordered_by_size",
                     "find_path_between_objects", "find_largest_common_reachable_object"]
