"""get_object: the record, its references and its referrers."""

import pytest

from records import line
from vesker_analysis import EstimatorPrecision, ObjectRecord, ObjectSummary

NO_ESTIMATES = EstimatorPrecision.NoEstimates


def ids(summaries):
    return [summary.id for summary in summaries]


def test_references_in_list_order_and_referrers_in_byte_order(explorer):
    explorer.import_lines(
        [line(10, type="A", references=[2, 1, 2], value="ten"), line(1, references=[10]),
         line(2, type="B", value="two", size=3), line(256, references=[10])],
        NO_ESTIMATES,
    )
    record = explorer.get_object(10)
    assert type(record) is ObjectRecord
    assert (record.id, record.type, record.value, record.size) == (10, "A", "ten", 8)
    assert ids(record.references) == [2, 1, 2]
    assert ids(record.referrers) == [256, 1]
    two = record.references[0]
    assert type(two) is ObjectSummary
    assert (two.id, two.type, two.value, two.size, two.subtree_size) == (2, "B", "two", 3, None)


def test_every_read_of_a_list_is_fresh(explorer):
    explorer.import_lines([line(1, references=[1])], NO_ESTIMATES)
    record = explorer.get_object(1)
    first = record.references
    first.clear()
    assert first is not record.references
    assert ids(record.references) == [1] and ids(record.referrers) == [1]
    assert record.references[0] is not record.references[0]


def test_results_are_read_only(explorer):
    explorer.import_lines([line(1, references=[1])], NO_ESTIMATES)
    record = explorer.get_object(1)
    for name in ("id", "type", "references", "referrers", "value", "size", "subtree_size"):
        with pytest.raises(AttributeError):
            setattr(record, name, None)
    with pytest.raises(AttributeError):
        record.references[0].id = 5


def test_an_unknown_id_is_none_even_when_referenced(explorer):
    explorer.import_lines([line(1)], NO_ESTIMATES)
    assert explorer.get_object(2) is None
    explorer.import_lines([line(3, references=[4])], NO_ESTIMATES)
    assert explorer.get_object(4) is None


def test_a_dangling_reference_fails_the_lookup(explorer):
    explorer.import_lines([line(1, references=[99])], NO_ESTIMATES)
    with pytest.raises(RuntimeError) as error:
        explorer.get_object(1)
    assert str(error.value) == "error while decoding: Decoding error: Missing record for ID 99"


@pytest.mark.parametrize(
    ("argument", "error_type", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        ("1", TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_id_conversion_errors(explorer, argument, error_type, message):
    with pytest.raises(error_type) as error:
        explorer.get_object(argument)
    assert type(error.value) is error_type
    assert str(error.value) == message


def test_method_documentation(explorer):
    assert type(explorer).get_object.__doc__ == "Return one object with expanded references and referrers."
    assert type(explorer).get_object.__text_signature__ == "($self, obj_id)"
    assert type(explorer).import_lines.__text_signature__ == "($self, lines, estimator_precision)"
