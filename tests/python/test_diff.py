"""Comparing dumps of a real program: what grew, what holds it, and ids that were reused."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap
from typing import Any

import pytest

import vesker
import vesker_analysis
from records import line
from vesker import engine
from vesker.cli import main

PROGRAM = textwrap.dedent(
    """
    import sys
    from vesker.dumper import dump_heap

    class Response:
        def __init__(self, n):
            self.body = "response body " * 8 + str(n)

    class Cache:
        def __init__(self):
            self._store = {"sessions": {}}

    cache = Cache()
    out, mode = sys.argv[1], sys.argv[2]
    dump_heap(out + "/warm-up.jsonl", meta=True)  # the first dump loads what every later one needs
    print(id(cache._store))
    for step in range(3):
        if mode == "grow":
            for i in range(1000):
                cache._store[step * 1000 + i] = Response(step * 1000 + i)
        else:
            churn = [Response(i) for i in range(1000)]
            del churn
        path = f"{out}/d{step}.jsonl"
        dump_heap(path, meta=True)
    """
)


def run_program(directory: pathlib.Path, mode: str) -> tuple[int, list[str]]:
    script = directory / "program.py"
    script.write_text(PROGRAM)
    package_parent = str(pathlib.Path(vesker.__file__).parent.parent)
    done = subprocess.run(
        [sys.executable, str(script), str(directory), mode],
        capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONPATH=package_parent),
    )
    stores = []
    for step in range(3):
        store = str(directory / f"s{step}")
        assert main(["import", "-q", str(directory / f"d{step}.jsonl"), store]) == 0
        stores.append(store)
    return int(done.stdout), stores


def cli_json(capsys: pytest.CaptureFixture[str], *argv: str) -> Any:
    assert main([*argv, "--json"]) == 0
    return json.loads(capsys.readouterr().out)


@pytest.fixture(scope="module")
def growing(tmp_path_factory: pytest.TempPathFactory) -> tuple[int, list[str]]:
    return run_program(tmp_path_factory.mktemp("growing"), "grow")


def test_the_cache_tops_diff_and_growth(growing: tuple[int, list[str]], capsys: pytest.CaptureFixture[str]) -> None:
    cache_id, stores = growing
    with engine.Store(stores[0]) as store:
        identities = json.loads(store.metadata()["dumps"])
    assert [set(identity) >= {"pid", "python", "time", "host"} for identity in identities] == [True]

    result = cli_json(capsys, "diff", stores[0], stores[2], "--limit", "0", "--all-types")
    assert result["same_process"]
    responses = next(row for row in result["types"] if row["type"] == "__main__.Response")
    assert responses["new"]["count"] - responses["old"]["count"] == 2000
    assert (responses["added"]["count"], responses["removed"]["count"]) == (2000, 0)
    # The retained sizes, read beside the records in id order, are those the analysis stored per object.
    with engine.Store(stores[2]) as store:
        rows = store.top_retained(limit=1 << 30)
    per_type: dict[str, int] = {}
    for row in rows:
        per_type[row.type] = per_type.get(row.type, 0) + (row.retained or 0)
    assert {row["type"]: row["new"]["retained"] for row in result["types"] if row["new"]["count"]} == per_type
    top = result["held"][0]
    assert (top["type"], top["holder_type"], top["largest_holder"]) == ("__main__.Response", "builtins.dict", cache_id)
    assert (top["count"], top["holders"]) == (2000, 1)
    assert top["held_count"] >= 2 * 2000  # each response with its body at least

    growth = cli_json(capsys, "growth", *stores)
    assert growth["objects"][0]["id"] == cache_id
    sizes = growth["objects"][0]["sizes"]
    assert sizes[0] < sizes[1] < sizes[2]
    # Two dumps are a diff: growth over them would be any object larger in the second.
    assert main(["growth", stores[0], stores[2]]) == 1
    assert "three or more" in capsys.readouterr().err

    # Told that the dumps come from different processes, only the types are compared.
    across = cli_json(capsys, "diff", stores[0], stores[2], "--different-process")
    assert (across["same_process"], across["held"]) == (False, [])
    assert across["total"]["new"] == result["total"]["new"]


def test_allocating_and_freeing_as_much_shows_no_growth(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    _, stores = run_program(tmp_path, "steady")
    result = cli_json(capsys, "diff", stores[0], stores[2], "--limit", "0", "--all-types")
    assert all(row["type"] != "__main__.Response" or row["added"]["count"] == 0 for row in result["types"])
    growth = cli_json(capsys, "growth", *stores)
    grown = [item["sizes"][-1] - min(s for s in item["sizes"] if s is not None) for item in growth["objects"]]
    assert max(grown, default=0) < 1024, growth["objects"][:3]


def store_of(directory: pathlib.Path, lines: list[bytes]) -> engine.Store:
    directory.mkdir()
    explorer = vesker_analysis.HeapDumpExplorer(str(directory))
    explorer.import_lines(lines, vesker_analysis.EstimatorPrecision.Exact)
    store = engine.Store(directory)
    del explorer
    return store


def test_an_id_reused_by_another_object_is_not_matched(tmp_path: pathlib.Path) -> None:
    # 100 changes type (and was big before), 300 keeps its type but not its str value, 200 stays
    # and grows, and so does 400 below both.
    def dump(step: int) -> list[bytes]:
        return [
            line(1, "R", [100, 200, 300]),
            line(100, "A" if step == 0 else "B", [400], size=100 if step == 0 else 10),
            line(200, "C", [400], size=10 + step),
            line(300, "builtins.str", value="old" if step == 0 else "new", size=50),
            line(400, "L", size=10 * (step + 1)),
        ]

    stores = [store_of(tmp_path / f"s{step}", dump(step)) for step in range(3)]
    result = engine.diff(stores[0], stores[1], same_process=True)
    changes = {row["type"]: (row["added"]["count"], row["removed"]["count"]) for row in result["types"]}
    assert changes == {"A": (0, 1), "B": (1, 0), "C": (0, 0), "L": (0, 0), "R": (0, 0), "builtins.str": (1, 1)}

    # Matched across the type change, 100 would have shrunk from 110 and not count as growing;
    # it grows from its birth in the middle dump, but only through 400, as does 1 (shrunk anyway).
    with pytest.raises(ValueError, match="three or more"):
        engine.growth(stores[:2])
    growth = engine.growth(stores)
    assert (growth.growing, growth.sources) == (3, 2)
    assert [(item.id, item.sizes) for item in growth.objects] == [(200, [20, 31, 42]), (400, [10, 20, 30])]


def test_a_holder_is_named_by_the_reference_that_keeps_it(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    old = [line(1, "builtins.module", [2]), line(2, "app.Cache", [3], names=["._store"]), line(3, "builtins.dict")]
    new = [*old[:2], line(3, "builtins.dict", [10, 11], names=["['a']", "['b']"]),
           line(10, "app.Response", size=100), line(11, "app.Response", size=100)]
    for name, lines in (("old", old), ("new", new)):
        (tmp_path / f"{name}.jsonl").write_bytes(b"".join(lines))
        assert main(["import", "-q", str(tmp_path / f"{name}.jsonl"), str(tmp_path / name)]) == 0
    capsys.readouterr()
    assert main(["diff", str(tmp_path / "old"), str(tmp_path / "new"), "--same-process"]) == 0
    assert "+2 x app.Response, +200 B in 2 objects, held by Cache._store (builtins.dict)" in capsys.readouterr().out


CACHE_PROGRAM = textwrap.dedent(
    """
    import sys
    import appcache
    from vesker.dumper import dump_heap

    for i in range(int(sys.argv[2])):
        appcache.cache._store["sessions"][f"session-{i}"] = appcache.Response(i)
    dump_heap(sys.argv[1], names=True, meta=True, materialize=True)
    """
)
CACHE_MODULE = textwrap.dedent(
    """
    class Response:
        def __init__(self, n):
            self.body = "response body " * 8 + str(n)

    class Cache:
        def __init__(self):
            self._store = {"sessions": {}}

    cache = Cache()
    """
)


def test_across_processes_the_growing_cache_is_named_by_its_stable_path(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    (tmp_path / "program.py").write_text(CACHE_PROGRAM)
    (tmp_path / "appcache.py").write_text(CACHE_MODULE)
    package_parent = str(pathlib.Path(vesker.__file__).parent.parent)
    stores = []
    for entries in (200, 2000):  # a restart with more traffic: other ids, the same names
        dump = tmp_path / f"d{entries}.jsonl"
        subprocess.run([sys.executable, str(tmp_path / "program.py"), str(dump), str(entries)], check=True,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join([package_parent, str(tmp_path)])))
        stores.append(str(tmp_path / f"s{entries}"))
        assert main(["import", "-q", str(dump), stores[-1]]) == 0

    result = cli_json(capsys, "diff", *stores)
    assert (result["same_process"], result["mode_known"], result["held"]) == (False, True, [])
    top = result["paths"][0]
    assert top["path"] == "appcache.cache._store['sessions']"
    assert top["new"]["items"] - top["old"]["items"] == 1800
    responses = next(row for row in result["types"] if row["type"] == "appcache.Response")
    assert top["new"]["size"] - top["old"]["size"] >= responses["new"]["size"] - responses["old"]["size"]
    # The paths above it grew by as much and are left out; its entries are data, not paths.
    assert not any(change["path"] in ("appcache", "appcache.cache._store") or "session-" in change["path"]
                   for change in result["paths"])

    assert main(["diff", *stores]) == 0
    assert "  appcache.cache._store['sessions']: " in capsys.readouterr().out


def test_incomplete_dumps_of_different_processes_compare_and_say_what_they_lack(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # The module names a reference to 99, which the dumps have no record of; the new process's
    # dump also says how much memory the process held.
    def dump(entries: int) -> list[bytes]:
        items = list(range(10, 10 + entries))
        return [line(1, "builtins.module", [2, 99], value="app", names=[".cache", ".lost"]),
                line(2, "builtins.dict", items, names=[f"['k{i}']" for i in items]),
                *(line(i, "app.Entry", size=1000) for i in items)]

    stores = []
    for name, entries, memory in (("old", 2, None), ("new", 20, {"resident": 64 << 20, "anonymous": 40 << 20,
                                                                  "allocator": None})):
        dump_path = tmp_path / f"{name}.jsonl"
        dump_path.write_bytes(b"".join(dump(entries)))
        identity: dict[str, Any] = {"pid": 100 + entries, "python": "3.13.0", "host": "h", "time": "t"}
        if memory is not None:
            identity["memory"] = memory
        pathlib.Path(f"{dump_path}.meta.json").write_text(json.dumps(identity))
        stores.append(str(tmp_path / name))
        assert main(["import", "-q", str(dump_path), stores[-1]]) == 0
        assert "the dump was incomplete: 1 reference to ids without a record" in capsys.readouterr().err

    result = cli_json(capsys, "diff", *stores, "--different-process")
    assert result["paths"][0]["path"] == "app.cache"
    assert result["dangling_references"] == {"old": 1, "new": 1}
    objects = result["total"]["new"]["size"]
    assert result["memory"] == {"old": None, "new": {"objects": objects, "resident": 64 << 20, "anonymous": 40 << 20,
                                                     "allocator": None, "outside_objects": (64 << 20) - objects}}
    assert main(["diff", *stores]) == 0
    text = capsys.readouterr().out
    assert "old store: the dump was incomplete: 1 reference to ids without a record" in text
    assert (f"new dump: the dumped objects are {objects / 1024:.1f} KiB of 64.0 MiB resident (40.0 MiB anonymous); "
            "the rest is outside Python objects: C extensions' buffers") in text


def test_stores_of_different_precision_are_compared_like_with_like(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # One heap, imported three ways: nothing grew, so no figure may say it did.
    heap = [line(1, "builtins.module", [2], value="app", names=[".cache"]),
            line(2, "builtins.dict", [*range(10, 60)], names=[f"['k{i}']" for i in range(10, 60)]),
            *[line(i, "builtins.list", [i + 100], size=64) for i in range(10, 60)],
            *[line(i + 100, "builtins.str", size=5000 + i) for i in range(10, 60)]]
    dump = tmp_path / "heap.jsonl"
    dump.write_bytes(b"".join(heap))
    stores = {name: str(tmp_path / name) for name in ("low", "exact", "exact-bare")}
    assert main(["import", "-q", str(dump), stores["low"], "--precision", "low"]) == 0
    assert main(["import", "-q", str(dump), stores["exact"], "--precision", "exact"]) == 0
    assert main(["import", "-q", str(dump), stores["exact-bare"], "--precision", "exact", "--no-retained"]) == 0
    capsys.readouterr()

    for old, new in (("low", "exact-bare"), ("exact-bare", "low")):
        result = cli_json(capsys, "diff", stores[old], stores[new])
        assert result["paths"] == [] and result["sizes"]["compared"] is None, result["paths"]
        assert {side: (result["stores"][side]["precision"], result["stores"][side]["names"])
                for side in ("old", "new")} == {"old": (old.split("-")[0], True), "new": (new.split("-")[0], True)}
        assert main(["diff", stores[old], stores[new]]) == 0
        out = capsys.readouterr().out
        assert "object sizes are not compared" in out and "(+" not in out.split("stable paths")[1], out
    # Exact subtree sizes on both sides compare, though only one store has retained sizes.
    result = cli_json(capsys, "diff", stores["exact-bare"], stores["exact"])
    assert (result["sizes"]["compared"], result["paths"]) == ("subtree", [])

    assert main(["diff", stores["exact"], stores["exact-bare"], "--by", "retained"]) == 1
    error = capsys.readouterr().err
    assert f"store {stores['exact-bare']!r} has no retained sizes" in error and stores["exact"] + "'" not in error
    assert main(["growth", stores["exact"], stores["low"], stores["exact-bare"], "--same-process"]) == 1
    assert "growth is not measured" in capsys.readouterr().err
