"""Each kind of failure arrives as its own exception class, with its message as it always was."""

import gc
import os

import pytest

from records import line
from vesker import engine
from vesker.errors import (
    BadRecordError,
    DamagedStoreError,
    NotComputedError,
    NotFoundError,
    RejectedKeyError,
    StoreBusyError,
)
from vesker_analysis import EstimatorPrecision, HeapDumpExplorer

BAD_VALSIZE = "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size"


def _failure(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    return caught.value


def test_each_kind_has_its_class_message_and_details(explorer, store_dir):
    explorer.import_lines([line(1, references=[2]), line(2)], EstimatorPrecision.NoEstimates)
    cases = [
        (lambda: explorer.find_path_between_objects(7, 1, set()), NotFoundError, "Start ID 7 not found in database", {"object_id": 7}),
        (lambda: explorer.find_path_between_objects(1, 9, set()), NotFoundError, "End ID 9 not found in database", {"object_id": 9}),
        (lambda: explorer.find_largest_common_reachable_object(1, 2), NotComputedError,
         "No subtree size in 1", {"object_id": 1}),
        (lambda: explorer.get_count_for_type(""), RejectedKeyError, BAD_VALSIZE, {}),
        (lambda: explorer.import_lines([line(3), b'{"id":4,"type":"T","size":8}'], EstimatorPrecision.NoEstimates),
         BadRecordError, "missing field `references` at line 1 column 28",
         {"reason": "missing field `references`", "column": 28}),
        (lambda: explorer.import_lines([line(5, type="")], EstimatorPrecision.NoEstimates), RejectedKeyError,
         BAD_VALSIZE, {}),
        (lambda: HeapDumpExplorer(str(store_dir)), StoreBusyError,
         "environment already open in this program; close it to be able to open it again with different options", {}),
    ]
    for call, kind, message, details in cases:
        error = _failure(call)
        assert type(error) is kind and str(error) == message
        assert {name: getattr(error, name) for name in details} == details


def test_a_damaged_data_file_and_a_broken_stored_record(tmp_path):
    store = tmp_path / "store"
    store.mkdir()
    explorer = HeapDumpExplorer(str(store))
    explorer.import_lines([line(1, references=[2])], EstimatorPrecision.NoEstimates)
    with pytest.raises(BadRecordError, match="^error while decoding: Decoding error: Missing record for ID 2$") as caught:
        explorer.get_object(1)
    assert caught.value.column is None
    del explorer
    gc.collect()
    data = store / "data.mdb"
    os.truncate(data, os.path.getsize(data) // 2)
    with pytest.raises(DamagedStoreError, match="it was cut short"):
        engine.Store(str(store))
