"""Every dump mode on real standard-library leaks: complete, named alike, without side effects.

The program (leak_corpus.py) grows its leaks, is dumped three times, and reports whether
anything it can observe of its own state changed across a dump. Each mode's dumps are then
checked for references without a record, for the names of the references that hold each leak,
and `vesker growth` over them for one process and the holder's path.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import time
from typing import Any

import pytest

import vesker
from vesker import dumper
from vesker.cli import main

CORPUS = pathlib.Path(__file__).with_name("leak_corpus.py")
PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)
ENVIRONMENT = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)

MODES = ["in-process", "fork", "signal", "exit"]
if dumper.native_walker_available():
    MODES.append("native")
if hasattr(sys, "remote_exec"):
    MODES.append("attach")

# The reference that holds each leak, as (holder type, name), found from the leaked object.
HOLDERS = {
    "warnings registry": ("builtins.dict", "['__warningregistry__']"),
    "mock calls": ("builtins.dict", "['_mock_mock_calls']"),
    "per-request logger": ("builtins.dict", "['request.1']"),
    "record in a handler": ("builtins.list", "[0]"),
    "done-callback": ("builtins.tuple", "[0]"),
    "buffer without traversal": ("builtins.list", "[0]"),
    "lru_cache on a method": ("functools._lru_cache_wrapper", "<cache>"),
}


def run_attached(out: pathlib.Path) -> subprocess.CompletedProcess[str]:
    program = subprocess.Popen([sys.executable, str(CORPUS), str(out), "attach"], text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENVIRONMENT)
    for step in range(3):
        ready = out / f"ready-{step}"
        deadline = time.monotonic() + 60
        while not ready.exists():
            assert program.poll() is None and time.monotonic() < deadline, program.communicate()
            time.sleep(0.01)
        dumped = subprocess.run([sys.executable, "-m", "vesker", "dump", "--pid", str(program.pid),
                                 "-o", ready.read_text()], capture_output=True, text=True,
                                env=ENVIRONMENT)
        assert dumped.returncode == 0, dumped.stderr
        (out / f"dumped-{step}").touch()
    stdout, stderr = program.communicate(timeout=60)
    return subprocess.CompletedProcess(program.args, program.returncode, stdout, stderr)


def run_mode(out: pathlib.Path, mode: str) -> dict[str, Any]:
    if mode == "attach":
        completed = run_attached(out)
    elif mode == "exit":
        completed = subprocess.run(
            [sys.executable, "-m", "vesker", "dump", "-o", str(out / "d0.jsonl"), str(CORPUS),
             str(out), "exit"], capture_output=True, text=True, env=ENVIRONMENT)
    else:
        completed = subprocess.run([sys.executable, str(CORPUS), str(out), mode],
                                   capture_output=True, text=True, env=ENVIRONMENT)
    assert completed.returncode == 0, completed.stderr
    report: dict[str, Any] = json.loads(completed.stdout.splitlines()[-1])
    if mode == "exit":
        report["dumps"] = [str(out / "d0.jsonl")]
        assert "complete" in completed.stderr
    return report


@pytest.fixture(scope="module", params=MODES)
def dumped(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> tuple[str, dict[str, Any]]:
    mode: str = request.param
    return mode, run_mode(tmp_path_factory.mktemp(mode), mode)


def read(path: str) -> dict[int, dict[str, Any]]:
    with open(path, encoding="utf-8") as lines:
        return {record["id"]: record for record in map(json.loads, lines)}


def leaked(records: dict[int, dict[str, Any]]) -> dict[str, int]:
    """The id of one leaked object of each kind."""
    def one(kind: str, value: object = None, referring_to: object = None) -> int:
        for record in records.values():
            if record["type"] != kind or (value is not None and record["value"] != value):
                continue
            if referring_to is None or any(records[r]["value"] == referring_to for r in record["references"]):
                return int(record["id"])
        raise AssertionError(f"no {kind} in the dump")

    registry_key = one("builtins.tuple", referring_to="request 1")
    registries = [r["id"] for r in records.values()
                  if r["type"] == "builtins.dict" and registry_key in r["references"]]
    calls = [r for r in records.values() if r["type"] == "unittest.mock._CallList"]
    logger_name = one("builtins.str", value="request.1")
    loggers = [r["id"] for r in records.values() if r["type"] == "logging.Logger"
               and logger_name in r["references"]]
    looked_up = one("builtins.str", value="looked-up")
    result = next(r["id"] for r in records.values()
                  if r["type"] == "builtins.list" and looked_up in r["references"])
    return {
        "lru_cache on a method": next(r["id"] for r in records.values()
                                      if r["type"] == "builtins.dict" and result in r["references"]),
        "warnings registry": registries[0],
        "mock calls": max(calls, key=lambda r: len(r["references"]))["id"],
        "per-request logger": loggers[0],
        "record in a handler": one("logging.LogRecord", referring_to="request %d"),
        "done-callback": next(r for t in records.values() if t["type"] == "builtins.tuple"
                              for r in t["references"] if records[r]["type"] == "functools.partial"),
        "buffer without traversal": one("array.array"),
    }


def holder_names(records: dict[int, dict[str, Any]]) -> dict[str, set[tuple[str, str | None]]]:
    """Each leak's holders, as (type, name of the reference)."""
    holders: dict[str, set[tuple[str, str | None]]] = {}
    for kind, target in leaked(records).items():
        for record in records.values():
            references = record["references"]
            if target in references:
                names = record.get("names") or [None] * len(references)
                holders.setdefault(kind, set()).add((record["type"], names[references.index(target)]))
    return holders


def test_every_dump_is_complete_and_leaves_the_program_as_it_was(dumped: tuple[str, dict[str, Any]]) -> None:
    mode, report = dumped
    assert report["changed"] == []
    for path in report["dumps"]:
        records = read(path)
        assert [r for rec in records.values() for r in rec["references"] if r not in records] == []
        sidecar = json.loads(pathlib.Path(path + ".meta.json").read_text())
        assert sidecar["pid"] == report["pid"] and sidecar["started"]
        assert sidecar["dump"] == {"mode": mode, "names": True, "dumper": dumper.DUMPER_VERSION}
        assert sidecar["memory"]["resident"] >= sidecar["memory"]["anonymous"] > 0
        buffers = [r for r in records.values() if r["type"] == "array.array"]
        assert len(buffers) >= 40 and min(r["size"] for r in buffers) >= 8 * 1024
        holders = holder_names(records)
        assert {kind: HOLDERS[kind] in holders[kind] for kind in HOLDERS} == dict.fromkeys(HOLDERS, True)


def test_growth_recognises_one_process_and_names_the_holder(
    dumped: tuple[str, dict[str, Any]], tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    mode, report = dumped
    if len(report["dumps"]) < 3:
        pytest.skip("one dump, at exit")
    stores = []
    for index, path in enumerate(report["dumps"]):
        store = str(tmp_path / f"s{index}")
        last = index == len(report["dumps"]) - 1
        assert main(["import", "-q", *([] if last else ["--no-retained"]), path, store]) == 0
        stores.append(store)
    capsys.readouterr()
    assert main(["growth", *stores, "--json", "--limit", "1000"]) == 0
    grown = {item["id"] for item in json.loads(capsys.readouterr().out)["objects"]}
    records = read(report["dumps"][-1])
    buffer = leaked(records)["buffer without traversal"]
    (target,) = [r["id"] for r in records.values() if r["type"] == "builtins.list" and buffer in r["references"]]
    assert target in grown
    assert main(["why", stores[-1], str(target), "--json"]) == 0
    chain = json.loads(capsys.readouterr().out)["chain"]
    assert chain.endswith("dict['BUFFERS']"), chain
