"""How much of the dumped process's memory its objects are, as every view of a store says it."""

from __future__ import annotations

import json
import pathlib
from typing import Any

import pytest

from records import line
from vesker import engine
from vesker.cli import main
from vesker.report import build_report, render_report
from vesker.server.queries import StoreQueries
from vesker.store import open_store

MIB = 1 << 20


def import_with_sidecar(store: pathlib.Path, name: str, identity: dict[str, Any], *, append: bool) -> None:
    dump = store.parent / f"{name}.jsonl"
    dump.write_bytes(line(1, "builtins.module", [2], value="app") + line(2, "builtins.bytes", size=3 * MIB))
    pathlib.Path(f"{dump}.meta.json").write_text(json.dumps(identity))
    assert main(["import", "-q", *(["--append"] if append else []), str(dump), str(store)]) == 0


def types_json(capsys: pytest.CaptureFixture[str], store: pathlib.Path) -> Any:
    capsys.readouterr()
    assert main(["types", str(store), "--json"]) == 0
    return json.loads(capsys.readouterr().out)


def test_types_report_and_overview_set_the_objects_beside_the_resident_memory(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # Two dumps of one process (the later one's figures count) and one of another (they add up).
    store = tmp_path / "store"
    process = {"pid": 7, "host": "h", "python": "3.13.0", "started": "boot:1"}
    import_with_sidecar(store, "a", {**process, "memory": {"resident": 90 * MIB, "anonymous": 50 * MIB,
                                                           "allocator": 4 * MIB}}, append=False)
    import_with_sidecar(store, "b", {**process, "memory": {"resident": 100 * MIB, "anonymous": 60 * MIB,
                                                           "allocator": 5 * MIB}}, append=True)
    import_with_sidecar(store, "c", {**process, "pid": 8, "memory": {"resident": 20 * MIB, "anonymous": 10 * MIB,
                                                                     "allocator": None}}, append=True)
    objects = types_json(capsys, store)["total"]["total_size"]
    assert types_json(capsys, store)["memory"] == {
        "objects": objects, "resident": 120 * MIB, "anonymous": 70 * MIB, "allocator": None,
        "outside_objects": 120 * MIB - objects}
    sentence = (f"the dumped objects are 3.0 MiB of 120.0 MiB resident (70.0 MiB anonymous); "
                "the rest is outside Python objects: C extensions' buffers")
    assert main(["types", str(store)]) == 0
    assert sentence in capsys.readouterr().out

    explorer = open_store(str(store))
    with engine.Store(str(store)) as analyses:
        assert "The" + sentence[3:] in render_report(build_report(explorer, retained=analyses))
    del explorer
    queries = StoreQueries(str(store))
    try:
        overview = queries.overview()
    finally:
        queries.close()
    assert overview["memory"]["resident"] == 120 * MIB and sentence in overview["memory_note"]


def test_a_dump_without_memory_figures_says_nothing_of_them(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    store = tmp_path / "store"
    import_with_sidecar(store, "old", {"pid": 7, "host": "h", "python": "3.11.0"}, append=False)
    assert types_json(capsys, store)["memory"] is None
    assert main(["types", str(store)]) == 0
    assert "resident" not in capsys.readouterr().out
