import gc

import pytest

import vesker_analysis


@pytest.fixture
def store_dir(tmp_path):
    """A fresh, existing directory for one store."""
    directory = tmp_path / "store"
    directory.mkdir()
    return directory


@pytest.fixture
def explorer(store_dir):
    """An explorer on a fresh store, closed again when the test ends."""
    instance = vesker_analysis.HeapDumpExplorer(str(store_dir))
    yield instance
    del instance
    gc.collect()
