"""The analyses' module opens the same stores as the explorer, sharing one environment per process."""

import gc

import pytest

import vesker_analysis
from vesker import engine

OPEN_TWICE = (
    "environment already open in this program; close it to be able to open it again with different options"
)


def test_engine_and_explorer_share_one_environment_in_either_order(store_dir):
    explorer = vesker_analysis.HeapDumpExplorer(str(store_dir))
    explorer.import_lines([b'{"id":1,"type":"T","references":[],"size":8}'], vesker_analysis.EstimatorPrecision.NoEstimates)
    with engine.Store(store_dir) as store:
        store.set_metadata("precision", "NoEstimates")
    del explorer
    gc.collect()

    store = engine.Store(str(store_dir))
    explorer = vesker_analysis.HeapDumpExplorer(str(store_dir))  # shares the engine's environment
    assert explorer.get_object(1).size == 8
    with pytest.raises(RuntimeError, match=OPEN_TWICE):
        vesker_analysis.HeapDumpExplorer(str(store_dir))
    assert store.metadata() == {"precision": "NoEstimates"}
    store.close()
    with pytest.raises(ValueError, match="the store is closed"):
        store.metadata()


def test_closing_a_store_while_other_threads_query_it(store_dir):
    # Without an interpreter lock (a free-threaded build) the close and the queries meet inside
    # the module; each query must either answer from the store or find it closed.
    import threading

    explorer = vesker_analysis.HeapDumpExplorer(str(store_dir))
    explorer.import_lines([b'{"id":1,"type":"T","references":[],"size":8}'], vesker_analysis.EstimatorPrecision.NoEstimates)
    answers = set()

    def query(store, start):
        start.wait()
        while True:
            try:
                answers.add(store.object_count())
            except ValueError:
                return  # closed

    for _ in range(20):
        store = engine.Store(store_dir)
        start = threading.Barrier(4)
        threads = [threading.Thread(target=query, args=(store, start)) for _ in range(3)]
        for thread in threads:
            thread.start()
        start.wait()
        store.close()
        for thread in threads:
            thread.join()
    assert answers <= {1}
