"""`vesker dump --pid`: dumping real running CPython 3.14 processes from outside."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator

import pytest
from attach_subjects import (PACKAGE_PARENT, Client, ask, read_dump, start, start_server, stop,
                             vesker_command)

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "remote_exec"), reason="attaching needs sys.remote_exec (CPython 3.14)"
)


@pytest.fixture
def server() -> Iterator[tuple[subprocess.Popen[str], int]]:
    process, port = start_server()
    yield process, port
    errors = stop(process)
    assert "Traceback" not in errors, errors


@pytest.mark.parametrize("mode", ["fork", "no-fork"])
def test_dump_of_a_running_server(server: tuple[subprocess.Popen[str], int],
                                  tmp_path: pathlib.Path, mode: str) -> None:
    process, port = server
    output = tmp_path / "server.jsonl"
    with Client(port) as client:
        before = ask(port, b"state")
        answered = client.answers
        options = ["--no-fork"] if mode == "no-fork" else []
        completed = vesker_command("dump", "--pid", str(process.pid), "-o", str(output),
                                   *options)
        assert completed.returncode == 0, completed.stderr
        assert client.answers > answered, "the server went on answering during the dump"
        deadline = time.monotonic() + 5
        while (after := ask(port, b"state"))["leftovers"] and time.monotonic() < deadline:
            time.sleep(0.05)  # the thread that reaps a forked dumper ends with it
    assert after["cache"] > before["cache"]
    for key in ("gc", "path", "modules", "switch", "leftovers"):
        assert after[key] == before[key], key
    assert sorted(os.listdir(tmp_path)) == ["server.jsonl", "server.jsonl.meta.json"]
    meta = json.loads((tmp_path / "server.jsonl.meta.json").read_text())
    assert meta["pid"] == process.pid and meta["python"].startswith("3.14")

    records = read_dump(output)
    assert all(r in records for record in records.values() for r in record["references"])
    assert not [r for r in records.values() if str(r["value"]).startswith("_vesker")]
    assert any(r["value"] == "frozen-marker" for r in records.values()), "frozen objects"
    (cache,) = [r for r in records.values() if r["type"] == "builtins.dict"
                and "['k0']" in r.get("names", ())]
    entries = {records[i]["type"] for i in cache["references"][1::2]}
    assert entries == {"__main__.Entry"}
    entry = records[cache["references"][1]]
    names = dict(zip(entry["names"], (records[i] for i in entry["references"])))
    if mode == "fork":  # only a copy may create the instance dicts that name attributes
        assert names[".key"]["value"] == "k0"
        assert names[".payload"]["type"] == "builtins.list"
    locals_of_grow = [r for r in records.values() if r["type"] == "builtins.frame"
                      and "<local number>" in r.get("names", ())]
    assert locals_of_grow, "the frames of other threads and their locals"

    store = tmp_path / "store"
    completed = vesker_command("import", str(output), str(store))
    assert completed.returncode == 0, completed.stderr
    completed = vesker_command("types", str(store), "--limit", "0", "--json")
    counts = {t["type"]: t["count"] for t in json.loads(completed.stdout)["types"]}
    assert counts["__main__.Entry"] >= before["cache"]


def test_successive_dumps_get_their_own_names(server: tuple[subprocess.Popen[str], int],
                                              tmp_path: pathlib.Path) -> None:
    process, _ = server
    for _ in range(2):
        completed = subprocess.run(
            [sys.executable, "-m", "vesker", "dump", "--pid", str(process.pid), "--no-names"],
            capture_output=True, text=True, cwd=tmp_path, timeout=60,
            env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
        )
        assert completed.returncode == 0, completed.stderr
    dumps = sorted(name for name in os.listdir(tmp_path) if name.endswith(".jsonl"))
    assert len(dumps) == 2 and all(name.startswith(f"heap-{process.pid}-") for name in dumps)
    assert ',"names":[' not in (tmp_path / dumps[0]).read_text()


ASLEEP = "import time; print('ready', flush=True); time.sleep(60)"
VETO = textwrap.dedent(
    """
    import sys, time
    def veto(event, arguments):
        if "remote_debugger_script" in event:
            raise RuntimeError("no remote scripts here")
    sys.addaudithook(veto)
    print("ready", flush=True)
    while True:
        time.sleep(0.01)
    """
)
WAITING = "import time\nprint('ready', flush=True)\nwhile True: time.sleep(0.01)"


def test_refusals_are_explained(tmp_path: pathlib.Path) -> None:
    def refused(pid: int, *expected: str, env: dict[str, str] | None = None,
                user: int | None = None) -> None:
        started = time.monotonic()
        completed = vesker_command("dump", "--pid", str(pid), "--timeout", "2",
                                   "-o", str(tmp_path / "refused.jsonl"), env=env, user=user)
        assert completed.returncode == 1, completed.stderr
        for text in expected:
            assert text in completed.stderr, completed.stderr
        assert "Traceback" not in completed.stderr
        assert time.monotonic() - started < 30

    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    refused(gone.pid, f"no process with pid {gone.pid}")

    other = subprocess.Popen(["sleep", "30"])
    try:
        refused(other.pid, "does not look like a CPython process")
    finally:
        other.kill()
        other.wait()

    subjects = {
        "by environment": start(WAITING, env={"PYTHON_DISABLE_REMOTE_DEBUG": ""}),
        "by option": start(WAITING, "-X", "disable-remote-debug"),
        "asleep": start(ASLEEP),
        "vetoed": start(VETO),
    }
    copy = tmp_path / "python3.14"
    shutil.copy(sys.executable, copy)
    subjects["deleted"] = start(WAITING, executable=str(copy))
    copy.unlink()
    try:
        refused(subjects["by environment"].pid, "PYTHON_DISABLE_REMOTE_DEBUG")
        refused(subjects["by option"].pid, "-X disable-remote-debug")
        refused(subjects["asleep"].pid, "did not run the dump request within 2s",
                "waiting in the kernel", "blocked in C code")
        refused(subjects["vetoed"].pid, "did not run the dump request", "audit hook")
        refused(subjects["deleted"].pid, "deleted or replaced on disk")
        refused(subjects["asleep"].pid, "disabled in the interpreter running vesker",
                env=dict(os.environ, PYTHON_DISABLE_REMOTE_DEBUG="1"))
        if os.geteuid() == 0:
            refused(subjects["asleep"].pid, "not allowed", "uid", user=65534)
    finally:
        for subject in subjects.values():
            stop(subject)
    assert not (tmp_path / "refused.jsonl").exists()
    assert not [name for name in os.listdir("/tmp") if name.startswith("vesker-attach-")]


def test_a_full_disk_under_the_dump_is_one_line(tmp_path: pathlib.Path) -> None:
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    from small_disk import small_file_system

    # Room for the request, not for the dump.
    with small_file_system(tmp_path / "small", 1024) as disk:
        subject = start(WAITING, env={"TMPDIR": str(disk)})
        try:
            completed = vesker_command("dump", "--pid", str(subject.pid), "-o", str(tmp_path / "heap.jsonl"))
        finally:
            stop(subject)
    assert completed.returncode == 1 and "Traceback" not in completed.stderr, completed.stderr
    assert completed.stderr.strip().splitlines()[-1].endswith(
        "is full; no dump was written (set TMPDIR of the process to a directory with room)"), completed.stderr
    assert not (tmp_path / "heap.jsonl").exists()
