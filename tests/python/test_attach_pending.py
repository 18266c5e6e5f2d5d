"""`vesker dump --pid` on CPython 3.9 to 3.13 targets, through a pending call,
whatever Python vesker itself runs on."""

from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterator

import pytest
from attach_subjects import (Client, ask, interpreter, read_dump, start, start_server, stop,
                             vesker_command)

import vesker.attach

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux only")

HELPER_BUILT = os.path.exists(vesker.attach._HELPER)


VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]


@pytest.fixture(scope="module", params=VERSIONS)
def old_server(request: pytest.FixtureRequest) -> Iterator[tuple[subprocess.Popen[str], int]]:
    executable = interpreter(request.param)
    if executable is None:
        pytest.skip(f"no CPython {request.param} on this machine")
    if not HELPER_BUILT:
        pytest.skip("vesker's helper library is not built")
    process, port = start_server(executable, umask=0)  # a careless umask: dumps are 0600
    yield process, port
    errors = stop(process)
    assert "Traceback" not in errors, errors


def test_dumps_of_a_running_server(old_server: tuple[subprocess.Popen[str], int],
                                   tmp_path: pathlib.Path) -> None:
    process, port = old_server
    before = ask(port, b"state")
    with Client(port) as client:
        for name, options in (("fork", []), ("no-fork", ["--no-fork"])):  # two dumps in a row
            answered = client.answers
            completed = vesker_command("dump", "--pid", str(process.pid),
                                       "-o", str(tmp_path / f"{name}.jsonl"), *options)
            assert completed.returncode == 0, completed.stderr
            assert completed.stderr.rstrip().endswith(", complete"), completed.stderr
            assert client.answers > answered, "the server went on answering during the dump"
    # Two at once: distinct names, or for one name given twice, a refusal.
    for output in (["-o", str(tmp_path / "twice" / "same.jsonl")], []):
        (tmp_path / "twice").mkdir(exist_ok=True)
        both = [subprocess.Popen([sys.executable, "-m", "vesker", "dump", "--pid", str(process.pid),
                                  "--no-names", *output], cwd=tmp_path / "twice", text=True,
                                 stderr=subprocess.PIPE) for _ in range(2)]
        errors = [dumping.communicate(timeout=60)[1] for dumping in both]
        codes = sorted(dumping.returncode for dumping in both)
        if output:
            assert codes == [0, 1] and any("exists" in text for text in errors), errors
        else:
            assert codes == [0, 0], errors
    assert len([name for name in os.listdir(tmp_path / "twice") if name.endswith(".jsonl")]) == 3
    shutil.rmtree(tmp_path / "twice")
    deadline = time.monotonic() + 5
    while (after := ask(port, b"state"))["leftovers"] and time.monotonic() < deadline:
        time.sleep(0.05)  # the thread that reaps a forked dumper ends with it
    assert after["cache"] > before["cache"]
    for key in ("gc", "path", "modules", "switch", "leftovers"):
        assert after[key] == before[key], key
    with open(f"/proc/{process.pid}/maps") as maps:
        assert "_pending" not in maps.read(), "the helper library was unloaded"
    assert sorted(os.listdir(tmp_path)) == ["fork.jsonl", "fork.jsonl.meta.json",
                                            "no-fork.jsonl", "no-fork.jsonl.meta.json"]
    for name in os.listdir(tmp_path):
        assert os.stat(tmp_path / name).st_mode & 0o777 == 0o600, name

    for name in ("fork", "no-fork"):
        whole = read_dump(tmp_path / f"{name}.jsonl")
        assert all(r in whole for record in whole.values() for r in record["references"]), name
    records = read_dump(tmp_path / "fork.jsonl")
    meta = json.loads((tmp_path / "fork.jsonl.meta.json").read_text())
    version = subprocess.run([process.args[0], "-c", "import platform; "
                              "print(platform.python_version())"],
                             capture_output=True, text=True).stdout.strip()
    assert meta["pid"] == process.pid and meta["python"] == version
    (cache,) = [r for r in records.values() if r["type"] == "builtins.dict"
                and "['k0']" in r.get("names", ())]
    module = [r for r in records.values() if r["type"] == "builtins.dict"
              and cache["id"] in r["references"]]
    assert module and "['CACHE']" in module[0]["names"]
    assert {records[i]["type"] for i in cache["references"][1::2]} == {"__main__.Entry"}
    assert not [r for r in records.values() if str(r.get("value")).startswith("_vesker")]


BLOCKED = """
import os, sys, threading, time
modules = sorted(sys.modules)
threading.Thread(target=lambda: [time.sleep(0.01) for _ in iter(int, 1)], daemon=True).start()
print("ready", flush=True)
os.read(0, 1)  # the main thread waits here, in C, until the test writes to it
time.sleep(0.3)  # time for a pending call to run, if one were still queued
print(sorted(sys.modules) == modules, threading.active_count(), flush=True)
time.sleep(60)
"""


def test_refusals_are_explained(tmp_path: pathlib.Path) -> None:
    newest = next((interpreter(v) for v in reversed(VERSIONS) if interpreter(v)), None)
    if newest is None or not HELPER_BUILT:
        pytest.skip("no CPython 3.9 to 3.13 on this machine, or no helper library")

    def refused(pid: int, *expected: str, user: int | None = None) -> None:
        completed = vesker_command("dump", "--pid", str(pid), "--timeout", "1",
                                   "-o", str(tmp_path / "refused.jsonl"), user=user)
        assert completed.returncode == 1, completed.stderr
        assert all(text in completed.stderr for text in expected), completed.stderr
        assert "Traceback" not in completed.stderr and completed.stderr.count("\n") == 1

    blocked = subprocess.Popen([newest, "-c", BLOCKED], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    assert blocked.stdout is not None and blocked.stdin is not None
    blocked.stdout.readline()
    # The interpreter's own name says which build it is; its symbols are looked up by name,
    # which a copy of an interpreter linked with libpython statically can be made to lack.
    free_threaded = tmp_path / (os.path.basename(newest) + "t")
    shutil.copy(newest, free_threaded)
    waiting = "import time\nprint('ready', flush=True)\nwhile True: time.sleep(0.01)"
    subjects = {"free-threaded": start(waiting, executable=str(free_threaded))}
    static = os.path.realpath("/usr/bin/python3")
    unnamed = tmp_path / os.path.basename(static)
    content = pathlib.Path(static).read_bytes()
    if b"Py_AddPendingCall" in content and re.fullmatch(r"python3\.(9|1[0-3])", unnamed.name):
        unnamed.write_bytes(content.replace(b"Py_AddPendingCall", b"Py_AddPendingCalX"))
        unnamed.chmod(0o755)
        subjects["unnamed"] = start(waiting, executable=str(unnamed))
    oldest = interpreter("3.8")
    if oldest is not None:
        subjects["too old"] = start(waiting, executable=oldest)
    try:
        refused(blocked.pid, "did not run the dump request within 1s", "blocked in C code",
                "withdrawn and will not run later")
        blocked.stdin.write("x")
        blocked.stdin.flush()
        assert blocked.stdout.readline().split() == ["True", "2"], "the process is as it was"
        with open(f"/proc/{blocked.pid}/maps") as maps:
            assert "_pending" not in maps.read()
        refused(subjects["free-threaded"].pid, "free-threaded build")
        os.kill(blocked.pid, signal.SIGSTOP)
        refused(blocked.pid, "is stopped", "kill -CONT")
        os.kill(blocked.pid, signal.SIGCONT)
        if "unnamed" in subjects:
            refused(subjects["unnamed"].pid, "no symbol table entry for Py_AddPendingCall",
                    "statically linked or stripped")
        if "too old" in subjects:
            refused(subjects["too old"].pid, "Python 3.8", "3.9 and later")
        if os.geteuid() == 0 and _runs_as_nobody():
            refused(blocked.pid, "not allowed", "uid", user=65534)
        if os.geteuid() == 0 and shutil.which("unshare"):  # vesker in a container of its own
            completed = subprocess.run(
                ["unshare", "--pid", "--fork", "--mount-proc", sys.executable, "-m", "vesker",
                 "dump", "--pid", str(blocked.pid)], capture_output=True, text=True, timeout=60)
            assert completed.returncode == 1 and "vesker's pid namespace" in completed.stderr, \
                completed.stderr
    finally:
        for subject in [blocked, *subjects.values()]:
            subject.kill()
            subject.wait()
    assert not (tmp_path / "refused.jsonl").exists()


def _runs_as_nobody() -> bool:
    try:
        return subprocess.run([sys.executable, "-c", ""], user=65534).returncode == 0
    except PermissionError:
        return False
