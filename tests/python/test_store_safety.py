"""The store as one program among others: threads that go on during queries, other processes that
read or write the same store, directories deleted or renamed while open, other interpreters."""

from __future__ import annotations

import gc
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import lmdb_raw
from records import line
from vesker_analysis import EstimatorPrecision, HeapDumpExplorer
from vesker.engine import Store

SECOND_OPENING = (
    "environment already open in this program; close it to be able to open it again with different options"
)


def chain(count, first=0):
    return [line(first + i, "C", [first + i + 1] if i + 1 < count else [], size=32) for i in range(count)]


def test_other_threads_run_during_a_long_query(explorer):
    explorer.import_lines(chain(150_000), EstimatorPrecision.NoEstimates)
    stamps = []
    stop = threading.Event()

    def count_steps():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count_steps)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-3)
    counter.start()
    try:
        started = time.perf_counter()
        path = explorer.find_path_between_objects(0, 149_999, frozenset())
        ended = time.perf_counter()
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert len(path) == 150_000
    # Around the call the lock changes hands; well inside it, only a search without the lock
    # lets the other thread step at all.
    margin = 0.02
    assert ended - started > 5 * margin
    inside = [stamp for stamp in stamps if started + margin < stamp < ended - margin]
    assert len(inside) > 100


def test_importing_into_a_deleted_store_fails(store_dir, explorer):
    explorer.import_lines(chain(10), EstimatorPrecision.Exact)
    shutil.rmtree(store_dir)
    with pytest.raises(RuntimeError, match="was deleted while the store was open"):
        explorer.import_lines(chain(10, first=100), EstimatorPrecision.Exact)


def test_a_store_reached_under_another_path_is_the_open_one(tmp_path, store_dir, explorer):
    explorer.import_lines(chain(10), EstimatorPrecision.Exact)
    renamed = tmp_path / "renamed"
    os.rename(store_dir, renamed)
    with pytest.raises(RuntimeError) as error:
        HeapDumpExplorer(str(renamed))
    assert str(error.value) == SECOND_OPENING
    # Sharing users get the environment that is open, not a second one on the same files.
    with Store(renamed) as shared:
        assert shared.path == str(store_dir)
        assert shared.object_count() == 10


def test_a_killed_reader_does_not_make_the_store_grow(store_dir):
    lines = chain(5000)
    first = HeapDumpExplorer(str(store_dir))
    first.import_lines(lines, EstimatorPrecision.Exact)
    del first
    gc.collect()
    keeper = lmdb_raw.hold_transaction(str(store_dir), "open")
    reader = lmdb_raw.hold_transaction(str(store_dir), "read")
    try:
        reader.send_signal(signal.SIGKILL)
        reader.wait()
        explorer = HeapDumpExplorer(str(store_dir))
        explorer.import_lines(lines, EstimatorPrecision.Exact)
        size = os.path.getsize(store_dir / "data.mdb")
        for _ in range(6):
            explorer.import_lines(lines, EstimatorPrecision.Exact)
        # With the dead reader's snapshot pinned, every re-import adds the store's size again.
        assert os.path.getsize(store_dir / "data.mdb") < 1.5 * size
        del explorer
        gc.collect()
    finally:
        keeper.communicate("")


def test_opening_does_not_wait_for_another_writer(store_dir):
    first = HeapDumpExplorer(str(store_dir))
    first.import_lines(chain(10), EstimatorPrecision.Exact)
    del first
    gc.collect()
    Store(store_dir).close()  # creates the analyses' databases beside the six
    writer = lmdb_raw.hold_transaction(str(store_dir), "write")
    try:
        code = textwrap.dedent(
            f"""
            from vesker_analysis import HeapDumpExplorer
            from vesker.engine import Store
            print(len(HeapDumpExplorer({str(store_dir)!r}).get_objects_by_type("C", None)))
            print(Store({str(store_dir)!r}).object_count())
            """
        )
        opened = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    finally:
        writer.communicate("")
    assert opened.returncode == 0, opened.stderr
    assert opened.stdout.split() == ["10", "10"]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="interpreter configurations came with 3.13")
def test_subinterpreters_refuse_the_module_cleanly():
    code = textwrap.dedent(
        """
        import _interpreters as interpreters
        import vesker_analysis
        inner = (
            "try:\\n"
            "    import vesker_analysis\\n"
            "except ImportError as error:\\n"
            "    print('refused:', error)\\n"
            "else:\\n"
            "    print('loaded')\\n"
        )
        # An interpreter that shares the main one's lock but checks its extensions: one with a
        # lock of its own refuses every module without one, whatever the module declares.
        config = interpreters.new_config("legacy")
        config.check_multi_interp_extensions = True
        interpreter = interpreters.create(config)
        run = getattr(interpreters, "run_string", None) or interpreters.exec
        run(interpreter, inner)
        interpreters.destroy(interpreter)
        print("main still has", vesker_analysis.HeapDumpExplorer.__name__)
        """
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].startswith("refused:"), completed.stdout
    assert lines[1] == "main still has HeapDumpExplorer"
