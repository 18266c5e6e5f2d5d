"""The `vesker` command line, end to end: its answers match the Python API on the same store."""

from __future__ import annotations

import ast
import gc
import gzip
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from typing import Any

import pytest

import vesker

PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)
COMMANDS = ["dump", "import", "types", "top", "show", "path", "common", "demo", "serve"]

SCRIPT = textwrap.dedent(
    """
    import sys

    class Blob:
        def __init__(self, size):
            self.data = bytes(size)

    class Registry:
        def __init__(self):
            self.blobs = {}

    REGISTRY = Registry()
    for number in range(30):
        REGISTRY.blobs[number] = Blob(1000 + number)
    SHARED = REGISTRY.blobs[7]
    OTHER_HOLDER = [SHARED]
    print("script ran with", sys.argv[1:])
    """
)


def vesker_command(*arguments: str, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    return subprocess.run(
        [sys.executable, "-m", "vesker", *arguments],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
    )


def json_of(*arguments: str) -> Any:
    completed = vesker_command(*arguments, "--json")
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


def assert_user_error(completed: subprocess.CompletedProcess[str], *fragments: str) -> None:
    assert completed.returncode == 1, completed
    assert "Traceback" not in completed.stderr
    lines = completed.stderr.strip().splitlines()
    assert len(lines) == 1, completed.stderr
    for fragment in fragments:
        assert fragment in lines[0]


def plain(row: dict[str, Any]) -> dict[str, Any]:
    """A listing row without what the analyses add to the record's fields (names, labels, retained)."""
    return {key: value for key, value in row.items() if key not in ("name", "label", "retained")}


def summary(s: Any) -> dict[str, Any]:
    return {"id": s.id, "type": s.type, "value": s.value, "size": s.size,
            "subtree_size": s.subtree_size}


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    directory = tmp_path_factory.mktemp("cli")
    (directory / "subject.py").write_text(SCRIPT)
    completed = vesker_command(
        "dump", "-o", str(directory / "heap.jsonl"), str(directory / "subject.py"), "a", "--b",
        cwd=directory,
    )
    assert completed.returncode == 0, completed.stderr
    assert "script ran with ['a', '--b']" in completed.stdout
    return directory


@pytest.fixture(scope="module")
def store(workdir: pathlib.Path) -> pathlib.Path:
    completed = vesker_command("import", str(workdir / "heap.jsonl"), str(workdir / "store"))
    assert completed.returncode == 0, completed.stderr
    assert "computing subtree sizes (exact)" in completed.stderr
    assert "Traceback" not in completed.stderr
    return workdir / "store"


@pytest.fixture(scope="module")
def explorer(store: pathlib.Path) -> Iterator[Any]:
    analysis = pytest.importorskip("vesker_analysis")
    handle = analysis.HeapDumpExplorer(str(store))
    yield handle
    del handle
    gc.collect()


def find_one(explorer: Any, type_name: str) -> Any:
    (found,) = explorer.get_objects_by_type(type_name, None)
    return found


def test_help_on_every_command() -> None:
    overview = vesker_command("--help")
    assert overview.returncode == 0
    for command in COMMANDS:
        assert command in overview.stdout
        completed = vesker_command(command, "--help")
        assert completed.returncode == 0, command
        assert "usage: vesker " + command in completed.stdout


def test_no_library_module_imports_the_command_line() -> None:
    # The command line is built on the library (the Heap), never the other way round: the server,
    # the report and notebooks work without it. Imports inside functions count too.
    package = pathlib.Path(vesker.__file__).parent
    offending = []
    for source in package.rglob("*.py"):
        relative = source.relative_to(package)
        if relative.parts[0] == "cli" or relative.name == "__main__.py":
            continue
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.ImportFrom):
                names = [f"{node.module}.{alias.name}" for alias in node.names]
            elif isinstance(node, ast.Import):
                names = [alias.name for alias in node.names]
            else:
                continue
            offending += [f"{relative}: {name}" for name in names if name.startswith("vesker.cli")]
    assert offending == []


def test_types_match_the_api(store: pathlib.Path, explorer: Any) -> None:
    answer = json_of("types", str(store), "--limit", "0", "--sort", "size")
    expected = {name: (s.count, s.total_size) for name, s in explorer.get_type_summaries()}
    total = expected.pop("All Types")
    assert {t["type"]: (t["count"], t["total_size"]) for t in answer["types"]} == expected
    assert (answer["total"]["count"], answer["total"]["total_size"]) == total
    sizes = [t["total_size"] for t in answer["types"]]
    assert sizes == sorted(sizes, reverse=True)
    assert expected["__main__.Blob"][0] == 30
    table = vesker_command("types", str(store), "--limit", "0")
    assert table.returncode == 0 and "__main__.Blob" in table.stdout


def test_top_pages_match_the_api(store: pathlib.Path, explorer: Any) -> None:
    listing = explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)
    first = json_of("top", str(store), "--by", "subtree", "--limit", "7")
    second = json_of("top", str(store), "--by", "subtree", "--limit", "7", "--page", "2")
    assert [o["id"] for o in first["objects"] + second["objects"]] == [s.id for s in listing[:14]]
    assert plain(first["objects"][0]) == summary(listing[0])
    assert first["total"] == explorer.get_count_for_type("All Types")
    blobs = json_of("top", str(store), "--type", "__main__.Blob", "--by", "size", "--limit", "50")
    expected = explorer.get_objects_by_type_ordered_by_size("__main__.Blob", False, None)
    assert [plain(o) for o in blobs["objects"]] == [summary(s) for s in expected]
    # Pages of the store hold 1000 rows; a CLI page may straddle two of them.
    straddling = json_of("top", str(store), "--by", "size", "--limit", "600", "--page", "2")
    by_size = explorer.get_objects_by_type_ordered_by_size("All Types", False, None)
    assert [o["id"] for o in straddling["objects"]] == [s.id for s in by_size[600:1200]]


def test_show_matches_the_api(store: pathlib.Path, explorer: Any) -> None:
    registry = find_one(explorer, "__main__.Registry")
    record = explorer.get_object(registry.id)
    shown = json_of("show", str(store), str(registry.id), "--sort", "id")
    # Retained sizes join each row when the store's are fresh, as the engine module gives them.
    from vesker import engine

    with engine.Store(str(store)) as analyses:
        for row in [shown] + shown["references"] + shown["referrers"]:
            assert row.pop("retained") == analyses.retained(row["id"]).retained  # type: ignore[union-attr]
    assert [plain(r) for r in shown["references"]] == [summary(s) for s in record.references]
    assert [plain(r) for r in shown["referrers"]] == [summary(s) for s in record.referrers]
    assert (shown["type"], shown["size"], shown["subtree_size"]) == (
        record.type, record.size, record.subtree_size)
    table = vesker_command("show", str(store), hex(registry.id))
    assert table.returncode == 0
    assert "__main__.Registry" in table.stdout and "referrers (" in table.stdout


def test_path_matches_the_api(store: pathlib.Path, explorer: Any) -> None:
    blob = explorer.get_objects_by_type_ordered_by_size("__main__.Blob", False, 0)[0]
    # The script's module; the runner's own module is called __main__ as well.
    mains = [m for m in explorer.get_objects_by_type("builtins.module", None)
             if m.value == "__main__"]
    paths = {m.id: explorer.find_path_between_objects(m.id, blob.id, set()) for m in mains}
    ((main_id, expected),) = [(i, p) for i, p in paths.items() if p is not None]
    main = explorer.get_object(main_id)
    path = json_of("path", str(store), str(main.id), str(blob.id))
    assert [plain(r) for r in path] == [summary(s) for s in expected]
    avoided = expected[2].id
    detour = json_of("path", str(store), str(main.id), str(blob.id), "--avoid", str(avoided))
    api_detour = explorer.find_path_between_objects(main.id, blob.id, {avoided})
    assert (None if detour is None else [plain(r) for r in detour]) == (
        None if api_detour is None else [summary(s) for s in api_detour])
    assert avoided not in [step["id"] for step in detour or []]
    unreachable = json_of("path", str(store), str(blob.id), str(main.id))
    assert unreachable is None
    text = vesker_command("path", str(store), str(blob.id), str(main.id))
    assert text.returncode == 0 and "no path" in text.stdout


def test_common_matches_the_api(store: pathlib.Path, explorer: Any) -> None:
    registry = find_one(explorer, "__main__.Registry")
    holders = [
        s for s in explorer.get_objects_by_type("builtins.list", None)
        if [r.type for r in explorer.get_object(s.id).references] == ["__main__.Blob"]
    ]
    assert len(holders) == 1
    expected = explorer.find_largest_common_reachable_object(registry.id, holders[0].id)
    assert expected is not None
    answer = json_of("common", str(store), str(registry.id), str(holders[0].id))
    assert plain(answer) == summary(explorer.get_object(expected))


def test_gzip_dump_and_precision_none(workdir: pathlib.Path) -> None:
    compressed = workdir / "heap.jsonl.gz"
    with open(workdir / "heap.jsonl", "rb") as source, gzip.open(compressed, "wb") as target:
        target.write(source.read())
    target_store = workdir / "store-none"
    completed = vesker_command("import", str(compressed), str(target_store), "--precision", "none")
    assert completed.returncode == 0, completed.stderr
    lines = sum(1 for _ in open(workdir / "heap.jsonl", "rb"))
    assert json_of("types", str(target_store))["total"]["count"] == lines
    assert_user_error(vesker_command("top", str(target_store), "--by", "subtree"), "no subtree sizes")
    some_id = json_of("top", str(target_store), "--by", "size")["objects"][0]["id"]
    assert_user_error(vesker_command("common", str(target_store), str(some_id), str(some_id)),
                      "no subtree size")


def test_bad_input_gives_one_line_and_exit_1(workdir: pathlib.Path, store: pathlib.Path) -> None:
    assert_user_error(vesker_command("import", str(workdir / "nope.jsonl"), str(workdir / "s1")),
                      "does not exist")
    assert not (workdir / "s1").exists()

    not_a_dump = workdir / "notes.txt"
    not_a_dump.write_text("hello\nworld\n")
    assert_user_error(vesker_command("import", str(not_a_dump), str(workdir / "s2")),
                      "line 1", "not a heap dump record")
    assert not (workdir / "s2").exists(), "a failed import removes the store it created"

    half = workdir / "half.jsonl"
    with open(workdir / "heap.jsonl") as source:
        half.write_text(source.readline() + source.readline() + '{"id": 5, "type": "x"}\n')
    assert_user_error(vesker_command("import", str(half), str(workdir / "s3")),
                      "line 3", "missing field `references`")

    other = workdir / "other-dir"
    other.mkdir()
    (other / "keep.txt").write_text("precious")
    assert_user_error(vesker_command("types", str(other)), "is not a store")
    assert_user_error(vesker_command("import", str(workdir / "heap.jsonl"), str(other)),
                      "neither a store nor empty")
    assert sorted(os.listdir(other)) == ["keep.txt"]
    assert_user_error(vesker_command("show", str(workdir / "missing-store"), "1"), "does not exist")
    assert_user_error(vesker_command("import", str(workdir / "heap.jsonl"), str(store)),
                      "already holds", "--append")

    assert_user_error(vesker_command("show", str(store), "12345"), "no object with id 12345")
    assert_user_error(vesker_command("path", str(store), "12345", "1"), "no object with id 12345")
    assert_user_error(vesker_command("common", str(store), "12345", "1"),
                      "no object with id 12345")
    assert_user_error(vesker_command("top", str(store), "--type", "no.Such"), "no objects of type")
    assert_user_error(vesker_command("dump", str(workdir / "missing.py")), "does not exist")

    usage = vesker_command("show", str(store), "twelve")
    assert usage.returncode == 2 and "invalid object id" in usage.stderr
    assert "Traceback" not in usage.stderr
    assert vesker_command("show", str(store), "-1").returncode == 2


def test_dump_keeps_the_scripts_exit_code_and_failure(tmp_path: pathlib.Path) -> None:
    failing = tmp_path / "failing.py"
    failing.write_text("KEPT = ['kept-by-failing']\nraise ValueError('boom')\n")
    completed = vesker_command("dump", "-o", str(tmp_path / "f.jsonl"), str(failing))
    assert completed.returncode == 1
    assert "ValueError: boom" in completed.stderr and "runner.py" not in completed.stderr
    assert b"kept-by-failing" in (tmp_path / "f.jsonl").read_bytes()

    exiting = tmp_path / "exiting.py"
    exiting.write_text("import sys\nsys.exit(3)\n")
    completed = vesker_command("dump", "-o", str(tmp_path / "e.jsonl"), str(exiting))
    assert completed.returncode == 3
    assert (tmp_path / "e.jsonl").stat().st_size > 0

    broken = tmp_path / "broken.py"
    broken.write_text("def (:\n")
    assert vesker_command("dump", str(broken)).returncode == 1


def test_dump_on_signal(tmp_path: pathlib.Path) -> None:
    script = tmp_path / "server.py"
    stop = tmp_path / "stop"
    script.write_text(textwrap.dedent(f"""
        import os, time
        STATE = ["state-at-signal"]
        open({str(tmp_path / 'ready')!r}, "w").close()
        while not os.path.exists({str(stop)!r}):
            time.sleep(0.01)
        """))
    output = tmp_path / "signal.jsonl"
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    process = subprocess.Popen(
        [sys.executable, "-m", "vesker", "dump", "--signal", "USR1", "-o", str(output), str(script)],
        stderr=subprocess.PIPE, text=True, env=env,
    )
    try:
        deadline = time.monotonic() + 30
        while not (tmp_path / "ready").exists():
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.01)
        for count in (1, 2):  # each dump under its own name, from a forked copy
            process.send_signal(signal.SIGUSR1)
            while len(dumps := sorted(tmp_path.glob("signal-*.jsonl"))) < count:
                assert time.monotonic() < deadline and process.poll() is None
                time.sleep(0.01)
        stop.touch()
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert not output.exists()
    for dump in dumps:
        assert b"state-at-signal" in dump.read_bytes()
        assert json.loads(pathlib.Path(f"{dump}.meta.json").read_text())["pid"] == process.pid
    assert process.stderr is not None and process.stderr.read().count("dumped") == 2


def test_demo_prints_the_report(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("vesker_analysis")
    completed = vesker_command("demo", "--dir", str(tmp_path), "--quiet")
    assert completed.returncode == 0, completed.stderr
    report = completed.stdout
    # The answer first: after the heap's totals, the suspects, the cache of reports leading.
    assert report.index("leak suspects in a heap") < report.index("Largest retainers") < report.index("Largest types")
    assert "\n\n1. __main__.CACHE._reports holds" in report
    assert "Largest types by total size" in report
    assert "Largest objects by subtree size" in report
    assert "kept alive through module __main__" in report
    assert "__main__.ReportCache" in report
    # The leak's site: the line of demo_program.py that makes each Report.
    source = (pathlib.Path(vesker.__file__).parent / "demo_program.py").read_text().splitlines()
    line = source.index("    return Report(request_id, rows, payload)") + 1
    if sys.version_info[:2] != (3, 11):  # 3.11's tracemalloc misses objects with a managed dict
        assert f"demo_program.py:{line} in render, held by ReportCache._reports" in report
        assert "its __main__.Report (the largest of them): made at " in report
        assert f"demo_program.py:{line} in render\n   inside module __main__" in report
    # A second run replaces the demo's own store.
    assert vesker_command("demo", "--dir", str(tmp_path), "--quiet").returncode == 0
