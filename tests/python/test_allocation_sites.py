"""Allocation sites in dumps: `vesker dump --trace-allocations` records where the program's
objects were made, at the source's own line, and leaves objects made before tracing without one."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import time
from typing import Any

import pytest

LEAK = '''\
import os, signal, sys, time

class Report:
    def __init__(self, n):
        self.rows = [n] * 20

def build(i):
    return Report(i)  # the leak's line

CACHE = {i: build(i) for i in range(500)}
with open(sys.argv[1], "w") as out:
    out.write(str(id(sys)))
if len(sys.argv) > 2:
    os.kill(os.getpid(), signal.SIGUSR1)
    time.sleep(0.5)
'''


def _dump(tmp_path: pathlib.Path, *flags: str, signal_mode: bool = False) -> tuple[list[dict[str, Any]], dict[str, Any], pathlib.Path, int]:
    script = tmp_path / "leak.py"
    script.write_text(LEAK)
    ids = tmp_path / "ids.txt"
    output = tmp_path / "leak.jsonl"
    command = [sys.executable, "-m", "vesker", "dump", *flags, "-o", str(output)]
    if signal_mode:
        command += ["--signal", "USR1"]
    command += [str(script), str(ids)] + (["signal"] if signal_mode else [])
    completed = subprocess.run(command, capture_output=True, text=True, timeout=300,
                               env={**os.environ, "PYTHONTRACEMALLOC": ""})
    assert completed.returncode == 0, completed.stderr
    dump = output if not signal_mode else next(tmp_path.glob("leak-*.jsonl"))
    records = [json.loads(line) for line in dump.read_text().splitlines()]
    sidecar = json.loads(pathlib.Path(str(dump) + ".meta.json").read_text())
    return records, sidecar, script, int(ids.read_text())


def _sites(records: list[dict[str, Any]]) -> dict[int, list[list[Any]]]:
    table: dict[int, list[list[Any]]] = {}
    for record in records:
        if "site_frames" in record:
            assert record["site"] not in table, "a site's frames are written once"
            table[record["site"]] = record["site_frames"]
    return table


@pytest.mark.parametrize("signal_mode", [False, True], ids=["exit", "signal"])
def test_leak_objects_carry_the_line_that_made_them(tmp_path: pathlib.Path, signal_mode: bool) -> None:
    records, sidecar, script, sys_id = _dump(tmp_path, "--trace-allocations=2", signal_mode=signal_mode)
    assert sidecar["dump"]["allocation_frames"] == 2
    table = _sites(records)
    line = LEAK.splitlines().index("    return Report(i)  # the leak's line") + 1
    reports = [r for r in records if r["type"] == "__main__.Report"]
    assert len(reports) == 500
    if sys.version_info[:2] != (3, 11):  # 3.11's tracemalloc misses objects with a managed dict
        assert {tuple(table[r["site"]][0]) for r in reports} == {(str(script), line, "build")}
        assert all(len(table[r["site"]]) == 2 for r in reports)
    # Every index used is defined, and objects made before tracing started have no site.
    assert {r["site"] for r in records if "site" in r} == set(table)
    assert "site" not in next(r for r in records if r["id"] == sys_id)
    if sys.version_info[:2] == (3, 11):
        return
    # The store's per-site totals: of the sites with more than one object (the dict holding
    # them all is one), the leak's line keeps the most, and the dict is named as its holder.
    store = tmp_path / "store"
    dump = next(tmp_path.glob("leak*.jsonl"))
    for command in (["import", str(dump), str(store)], ["sites", str(store), "--json", "--limit", "1000"]):
        completed = subprocess.run([sys.executable, "-m", "vesker", *command], capture_output=True, text=True,
                                   timeout=300)
        assert completed.returncode == 0, completed.stderr
    found = json.loads(completed.stdout)
    assert found["unknown"]["count"] > 0
    many = [site for site in found["sites"] if site["count"] > 1]
    top = max(many, key=lambda site: site["retained"])
    assert (top["file"], top["line"], top["count"]) == (str(script), line, 500)
    assert top["retained"] >= sum(r["size"] for r in reports)
    assert len(top["holders"]) == 1


def test_untraced_dump_has_no_sites(tmp_path: pathlib.Path) -> None:
    records, sidecar, _, _ = _dump(tmp_path)
    assert "allocation_frames" not in sidecar["dump"]
    assert not any("site" in r for r in records)


def test_bare_flag_takes_the_script_and_one_frame(tmp_path: pathlib.Path) -> None:
    records, sidecar, _, _ = _dump(tmp_path, "--trace-allocations")
    assert sidecar["dump"]["allocation_frames"] == 1
    assert all(len(frames) == 1 for frames in _sites(records).values())


RUNNING = '''\
import os, sys, time

class Report:
    pass

def build():
    return Report()  # the leak's line

CACHE = [build() for _ in range(300)]
with open(sys.argv[1], "w") as ready:
    ready.write(str(id(sys)))
end = time.time() + 120
while time.time() < end:
    time.sleep(0.01)
'''


def test_pid_dump_of_a_tracing_process_has_sites(tmp_path: pathlib.Path) -> None:
    import vesker.attach

    if sys.version_info < (3, 14) and not os.path.exists(vesker.attach._HELPER):
        pytest.skip("vesker's helper library is not built")
    script, ready, output = tmp_path / "running.py", tmp_path / "ready", tmp_path / "pid.jsonl"
    script.write_text(RUNNING)
    target = subprocess.Popen([sys.executable, str(script), str(ready)],
                              env={**os.environ, "PYTHONTRACEMALLOC": "1"})
    try:
        deadline = time.monotonic() + 60
        while not ready.exists() or not ready.read_text():
            assert time.monotonic() < deadline and target.poll() is None
            time.sleep(0.05)
        completed = subprocess.run([sys.executable, "-m", "vesker", "dump", "--pid", str(target.pid),
                                    "--timeout", "30", "-o", str(output)], capture_output=True, text=True, timeout=300)
        if completed.returncode != 0 and "permission" in completed.stderr.lower():
            pytest.skip("no permission to trace the process")
        assert completed.returncode == 0, completed.stderr
    finally:
        target.kill()
        target.wait()
    records = [json.loads(line) for line in output.read_text().splitlines()]
    assert json.loads(pathlib.Path(str(output) + ".meta.json").read_text())["dump"]["allocation_frames"] == 1
    table = _sites(records)
    line = RUNNING.splitlines().index("    return Report()  # the leak's line") + 1
    reports = [r for r in records if r["type"] == "__main__.Report"]
    assert len(reports) == 300
    if sys.version_info[:2] != (3, 11):  # 3.11's tracemalloc misses objects with a managed dict
        assert {tuple(table[r["site"]][0]) for r in reports} == {(str(script), line, "build")}
    assert "site" not in next(r for r in records if r["id"] == int(ready.read_text()))


GROWING = '''\
import sys
from vesker import dumper

class Report:
    def __init__(self, n):
        self.rows = [n] * 20

class ReportCache:
    def __init__(self):
        self._store = {}

def build(i):
    return Report(i)  # the leak's line

dumper.native_walker_available()  # loads what names inline attributes
CACHE = ReportCache()
for dump, path in enumerate(sys.argv[1:]):
    for i in range(300):
        CACHE._store[dump * 1000 + i] = build(i)
    dumper.dump_heap(path, names=True)
'''


def _vesker(*arguments: str) -> str:
    done = subprocess.run([sys.executable, "-m", "vesker", *arguments], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def growing(tmp_path_factory: pytest.TempPathFactory) -> tuple[str, list[str], list[str]]:
    """Three traced dumps of one process whose cache gains 300 reports before each; the
    place of the reports' line, the dumps and their stores."""
    if sys.version_info[:2] == (3, 11):
        pytest.skip("3.11's tracemalloc misses objects with a managed dict")
    folder = tmp_path_factory.mktemp("growing")
    script = folder / "growing.py"
    script.write_text(GROWING)
    dumps = [str(folder / f"d{i}.jsonl") for i in range(3)]
    stores = [str(folder / f"s{i}") for i in range(3)]
    completed = subprocess.run([sys.executable, "-X", "tracemalloc=1", str(script), *dumps],
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    for dump, store in zip(dumps, stores):
        _vesker("import", "-q", dump, store)
    line = GROWING.splitlines().index("    return Report(i)  # the leak's line") + 1
    return f"{script}:{line} in build", dumps, stores


def test_diff_and_growth_group_new_objects_by_site_and_holder(growing: tuple[str, list[str], list[str]]) -> None:
    place, _, stores = growing
    script, line = place.split(" in ")[0].rsplit(":", 1)
    found = json.loads(_vesker("diff", stores[0], stores[1], "--json"))
    reports = [group for group in found["held"] if group["type"] == "__main__.Report"]
    # Each new report is held by the cache's dict alone, and made at the one line.
    assert [(g["count"], g["allocated_at"], g["holder_type"]) for g in reports] == [(300, place, "builtins.dict")]
    assert found["holder_labels"][str(reports[0]["largest_holder"])] == "ReportCache._store"
    by_site = {row["allocated_at"]: row for row in found["added_sites"]}
    assert by_site[place]["count"] >= 300 and by_site[place]["frames"][0] == [script, int(line), "build"]
    text = _vesker("diff", stores[0], stores[1])
    assert "+300 x __main__.Report" in text and f"made at {place}, held by ReportCache._store" in text

    grown = json.loads(_vesker("growth", *stores, "--json"))
    assert [(g["type"], g["count"], g["holder_label"]) for g in grown["by_site"]
            if g["allocated_at"] == place] == [("__main__.Report", 600, "ReportCache._store")]
    assert f"made at {place}, held by ReportCache._store" in _vesker("growth", *stores)


def test_appended_dump_keeps_sites_in_one_table(growing: tuple[str, list[str], list[str]], tmp_path: pathlib.Path) -> None:
    # The second dump holds the first one's reports again (same ids) and 300 more: appended,
    # the store knows all 600 made at the one line, under one site number.
    place, dumps, _ = growing
    store = str(tmp_path / "appended")
    _vesker("import", "-q", dumps[0], store)
    _vesker("import", "-q", "--append", dumps[1], store)
    found = json.loads(_vesker("sites", store, "--json", "--limit", "1000"))
    frames = [json.dumps(site["frames"]) for site in found["sites"]]
    assert len(frames) == len(set(frames))
    assert [site["count"] for site in found["sites"] if site["where"] == place] == [600]
