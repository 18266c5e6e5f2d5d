"""The module's surface: registration, classes, and the explorer's construction."""

import gc
import os
import threading

import pytest

import vesker_analysis
from vesker_analysis import EstimatorPrecision, HeapDumpExplorer

ALREADY_OPEN = (
    "environment already open in this program; "
    "close it to be able to open it again with different options"
)
CLASSES = ["EstimatorPrecision", "HeapDumpExplorer", "ObjectRecord", "ObjectSummary", "TypeSummary"]


def test_module_registers_the_five_classes_in_order():
    assert vesker_analysis.__doc__ == "Python bindings for Vesker's heap-dump analysis primitives."
    public = [name for name in vars(vesker_analysis) if not name.startswith("_")]
    assert public == CLASSES


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_sealed_builtins(name):
    cls = getattr(vesker_analysis, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


def test_explorer_documentation_and_signature():
    assert HeapDumpExplorer.__doc__ == "LMDB-backed explorer for heap dumps produced by the Python dumper."
    assert HeapDumpExplorer.__text_signature__ == "(db_path)"


def test_explorer_creates_the_store_files(store_dir):
    explorer = HeapDumpExplorer(str(store_dir))
    assert sorted(os.listdir(store_dir)) == ["data.mdb", "lock.mdb"]
    assert not hasattr(explorer, "__dict__")
    with pytest.raises(AttributeError):
        explorer.anything = 1


def test_a_directory_is_open_once_per_process(store_dir):
    first = HeapDumpExplorer(str(store_dir))
    with pytest.raises(RuntimeError) as error:
        HeapDumpExplorer(db_path=str(store_dir))
    assert str(error.value) == ALREADY_OPEN
    # Another spelling of the same directory is the same store.
    with pytest.raises(RuntimeError, match="^environment already open"):
        HeapDumpExplorer(str(store_dir / ".." / store_dir.name))
    del first
    gc.collect()
    HeapDumpExplorer(str(store_dir))


def test_opening_failures(tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(RuntimeError) as error:
        HeapDumpExplorer(str(missing))
    assert str(error.value) == "No such file or directory (os error 2)"
    assert not missing.exists()

    a_file = tmp_path / "file"
    a_file.write_text("x")
    with pytest.raises(RuntimeError) as error:
        HeapDumpExplorer(str(a_file))
    assert str(error.value) == "Not a directory"

    not_lmdb = tmp_path / "not-lmdb"
    not_lmdb.mkdir()
    (not_lmdb / "data.mdb").write_bytes(b"\x01" * 65536)
    with pytest.raises(RuntimeError) as error:
        HeapDumpExplorer(str(not_lmdb))
    assert str(error.value) == "MDB_INVALID: File is not an LMDB file"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "HeapDumpExplorer.__new__() missing 1 required positional argument: 'db_path'"),
        ((b"x",), {}, "argument 'db_path': 'bytes' object is not an instance of 'str'"),
        (("a", "b"), {}, "HeapDumpExplorer.__new__() takes 1 positional arguments but 2 were given"),
        ((), {"path": "x"}, "HeapDumpExplorer.__new__() got an unexpected keyword argument 'path'"),
        (("x",), {"db_path": "x"}, "HeapDumpExplorer.__new__() got multiple values for argument 'db_path'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as error:
        HeapDumpExplorer(*args, **kwargs)
    assert str(error.value) == message
    assert error.value.__cause__ is None


def test_path_objects_are_not_text(store_dir):
    with pytest.raises(TypeError, match="^argument 'db_path': 'PosixPath' object is not an instance of 'str'$"):
        HeapDumpExplorer(store_dir)


def test_estimator_precision_members():
    names = ["NoEstimates", "Low", "Medium", "High", "Exact"]
    assert EstimatorPrecision.__doc__ == "Controls the speed and accuracy of subtree-size estimation."
    for value, name in enumerate(names):
        member = getattr(EstimatorPrecision, name)
        assert int(member) == value
        assert repr(member) == str(member) == f"EstimatorPrecision.{name}"
        assert member is getattr(EstimatorPrecision, name)
        assert type(member) is EstimatorPrecision
    assert EstimatorPrecision.Low != 1
    assert EstimatorPrecision.Low != EstimatorPrecision.Medium
    with pytest.raises(TypeError):
        [0, 1][EstimatorPrecision.Low]
    with pytest.raises(TypeError):
        EstimatorPrecision()
    assert not hasattr(EstimatorPrecision, "__iter__")


def test_result_classes_cannot_be_instantiated():
    for cls in (vesker_analysis.ObjectRecord, vesker_analysis.ObjectSummary, vesker_analysis.TypeSummary):
        with pytest.raises(TypeError):
            cls()


def test_result_classes_declare_their_attributes_in_order():
    def getters(cls):
        return [name for name, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"]

    assert getters(vesker_analysis.ObjectRecord) == [
        "id", "type", "references", "referrers", "value", "size", "subtree_size"]
    assert getters(vesker_analysis.ObjectSummary) == ["id", "type", "value", "size", "subtree_size"]
    assert getters(vesker_analysis.TypeSummary) == ["count", "total_size"]
    assert vesker_analysis.ObjectRecord.__doc__ == "Full object record including references and referrers."
    assert vesker_analysis.ObjectSummary.__doc__ == "Lightweight object metadata used in lists and graph paths."
    assert vesker_analysis.TypeSummary.__doc__ == "Aggregate counts and sizes for one type."
    assert vesker_analysis.ObjectSummary.size.__doc__ == ""


def test_explorers_on_different_directories_coexist_across_threads(tmp_path):
    errors = []

    def open_one(index):
        directory = tmp_path / f"store-{index}"
        directory.mkdir()
        try:
            HeapDumpExplorer(str(directory))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=open_one, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
