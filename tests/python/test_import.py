"""import_lines: what it stores, how it fails, and how overlapping imports behave."""

import threading

import pytest

from records import line
from vesker_analysis import EstimatorPrecision

NO_ESTIMATES = EstimatorPrecision.NoEstimates
BAD_VALSIZE = "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size"


def test_a_record_round_trips_with_absent_optional_fields(explorer):
    assert explorer.import_lines([b'{"id":1,"type":"T","references":[],"size":8}'], NO_ESTIMATES) is None
    record = explorer.get_object(1)
    assert (record.id, record.type, record.value, record.size, record.subtree_size) == (1, "T", None, 8, None)
    assert record.references == [] and record.referrers == []


def test_extra_keys_are_dropped_and_values_kept(explorer):
    explorer.import_lines([line(1, value="x\ny", name="dropped", subtree_size=99)], NO_ESTIMATES)
    record = explorer.get_object(1)
    assert record.value == "x\ny"
    assert record.subtree_size == 99


def test_an_empty_iterable_commits_nothing(explorer):
    explorer.import_lines(iter([]), NO_ESTIMATES)
    assert explorer.get_object(0) is None


@pytest.mark.parametrize(
    ("item", "message"),
    [
        (b"", "EOF while parsing a value at line 1 column 0"),
        (b"\n", "EOF while parsing a value at line 2 column 0"),
        (b'{"id":1,"type":"T","size":8}', "missing field `references` at line 1 column 28"),
        (b'{"id":1,"type":"T","references":[],"value":5,"size":8}',
         "invalid type: integer `5`, expected a string at line 1 column 44"),
        (b'{"id":1,"type":"T","references":[],"size":8} x', "trailing characters at line 1 column 46"),
        (b'{"id":1,"type":"","references":[],"size":8}', BAD_VALSIZE),
    ],
)
def test_a_bad_item_fails_the_whole_call(explorer, item, message):
    with pytest.raises(RuntimeError) as error:
        explorer.import_lines([line(1), line(2), item, line(3)], NO_ESTIMATES)
    assert str(error.value) == message
    assert explorer.get_object(1) is None  # nothing of the call is stored


def test_trailing_line_endings_are_whitespace(explorer):
    explorer.import_lines([line(1), line(2).rstrip() + b"\r\n"], NO_ESTIMATES)
    assert explorer.get_object(2).id == 2


@pytest.mark.parametrize("item", ["text", bytearray(b"{}"), memoryview(b"{}")])
def test_items_must_be_bytes(explorer, item):
    with pytest.raises(TypeError) as error:
        explorer.import_lines([line(1), item], NO_ESTIMATES)
    assert str(error.value) == f"'{type(item).__name__}' object is not an instance of 'bytes'"
    assert explorer.get_object(1) is None


def test_iteration_errors_propagate_unchanged(explorer):
    class Broken(Exception):
        pass

    def lines():
        yield line(1)
        raise Broken("from the iterator")

    with pytest.raises(Broken, match="^from the iterator$"):
        explorer.import_lines(lines(), NO_ESTIMATES)
    assert explorer.get_object(1) is None
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        explorer.import_lines(5, NO_ESTIMATES)


def test_precision_is_checked_before_the_lines(explorer):
    with pytest.raises(TypeError) as error:
        explorer.import_lines(5, 4)
    assert str(error.value) == "argument 'estimator_precision': 'int' object is not an instance of 'EstimatorPrecision'"


def test_argument_binding_messages(explorer):
    with pytest.raises(TypeError) as error:
        explorer.import_lines()
    assert str(error.value) == (
        "HeapDumpExplorer.import_lines() missing 2 required positional arguments: 'lines' and 'estimator_precision'")
    with pytest.raises(TypeError) as error:
        explorer.import_lines([], estimator_precision=NO_ESTIMATES, extra=1)
    assert str(error.value) == "HeapDumpExplorer.import_lines() got an unexpected keyword argument 'extra'"
    explorer.import_lines(estimator_precision=NO_ESTIMATES, lines=[line(1)])
    assert explorer.get_object(1) is not None


def test_referrers_are_a_set_in_byte_order(explorer):
    explorer.import_lines(
        [line(1, references=[7, 7]), line(256, references=[7]), line(2, references=[7]), line(7, references=[7])],
        NO_ESTIMATES,
    )
    record = explorer.get_object(7)
    assert [summary.id for summary in record.referrers] == [256, 1, 2, 7]
    assert [summary.id for summary in record.references] == [7]


def test_a_later_record_replaces_an_earlier_one(explorer):
    explorer.import_lines([line(1, type="A", size=1), line(1, type="B", size=2)], NO_ESTIMATES)
    record = explorer.get_object(1)
    assert (record.type, record.size) == ("B", 2)


def test_extreme_ids_and_sizes(explorer):
    top = 2**64 - 1
    explorer.import_lines([line(top, size=top, references=[top])], NO_ESTIMATES)
    record = explorer.get_object(top)
    assert record.id == record.size == top
    assert [summary.id for summary in record.referrers] == [top]


def test_an_import_from_inside_the_lines_is_refused(explorer):
    seen = []

    def lines():
        yield line(1)
        with pytest.raises(RuntimeError) as error:
            explorer.import_lines([line(2)], NO_ESTIMATES)
        seen.append(str(error.value))
        yield line(3)

    explorer.import_lines(lines(), NO_ESTIMATES)
    assert seen == ["import_lines is already running on this store in this thread"]
    assert explorer.get_object(2) is None and explorer.get_object(3) is not None


def test_an_import_from_another_thread_waits_for_the_first(explorer):
    started = threading.Event()
    release = threading.Event()
    order = []

    def slow_lines():
        yield line(1)
        started.set()
        assert release.wait(10)
        order.append("first finishing")
        yield line(2)

    def second():
        explorer.import_lines([line(3)], NO_ESTIMATES)
        order.append("second done")

    first_thread = threading.Thread(target=explorer.import_lines, args=(slow_lines(), NO_ESTIMATES))
    first_thread.start()
    assert started.wait(10)
    second_thread = threading.Thread(target=second)
    second_thread.start()
    second_thread.join(0.3)
    assert second_thread.is_alive() and order == []
    # The waiting import must not hold the interpreter lock, or the first could never finish.
    release.set()
    first_thread.join(10)
    second_thread.join(10)
    assert order == ["first finishing", "second done"]
    assert all(explorer.get_object(i) is not None for i in (1, 2, 3))
