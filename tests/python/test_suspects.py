"""`vesker suspects` on the leak corpus: each leak grown alone puts its holder first, with the
named path, and is growing across three dumps of one process; a bounded cache of one size is
stable, a cache and not a leak."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from typing import Any

import pytest

import vesker
from vesker import dumper
from vesker.cli import main

CORPUS = pathlib.Path(__file__).with_name("leak_corpus.py")
ENVIRONMENT = dict(os.environ, PYTHONPATH=str(pathlib.Path(vesker.__file__).parent.parent))

# Without the native module (CPython 3.11 and 3.12), a dump leaves two kinds of edge unnamed: an
# instance's materialised `__dict__`, and an attribute set by another class's code (a Logger's
# `manager`, set by its Manager). A suspect below such a step is matched across dumps by its
# signature alone, and may be taken for new.
NAMES_EVERY_EDGE = dumper.native_walker_available()

# Requests a step that make each leak a fair share of the heap, and what its holder's path names.
CASES = {
    "warnings registry": (5000, "__main__.__warningregistry__"),
    "mock calls": (1000, "__main__.CLIENT"),
    "lru_cache on a method": (4000, "__main__.Service.lookup"),
    "per-request logger": (2500, ".manager.loggerDict" if NAMES_EVERY_EDGE else "Manager.loggerDict"),
    "record in a handler": (1000, "__main__.HANDLER.buffer"),
    "done-callback": (2000, "__main__.FOREVER"),
    "buffer without traversal": (300, "__main__.BUFFERS"),
    "bounded cache": (300, "__main__.rendered"),
}


def suspects(capsys: pytest.CaptureFixture[str], *arguments: str) -> Any:
    capsys.readouterr()
    assert main(["suspects", *arguments]) == 0
    out = capsys.readouterr().out
    return json.loads(out) if "--json" in arguments else out


@pytest.mark.parametrize("leak", sorted(CASES))
def test_the_holder_comes_first_and_growth_tells_leak_from_cache(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], leak: str
) -> None:
    requests, holder = CASES[leak]
    ran = subprocess.run([sys.executable, str(CORPUS), str(tmp_path), "in-process", leak, str(requests)],
                         capture_output=True, text=True, env=ENVIRONMENT)
    assert ran.returncode == 0, ran.stderr
    stores = [str(tmp_path / f"s{step}") for step in range(3)]
    for step, store in enumerate(stores):
        assert main(["import", "-q", str(tmp_path / f"d{step}.jsonl"), store]) == 0
    first, second, last = stores

    top = suspects(capsys, last, "--json")["suspects"][0]
    assert holder in top["label"], top["label"]
    assert top["share"] >= 0.10 and top["verdict"] is None
    assert top["path"][0]["type"] == "builtins.module" and top["path"][1]["name"] == ".__dict__"
    text = suspects(capsys, last).splitlines()
    assert text[2].startswith("1. ") and holder in text[2]

    judged = suspects(capsys, last, "--baseline", first, "--baseline", second, "--json")["suspects"]
    top = judged[0]
    assert holder in top["label"], top["label"]
    # Everything the program holds was there at the first dump, if smaller than a suspect then.
    if NAMES_EVERY_EDGE:
        assert "new" not in {s["verdict"] for s in judged}
    if leak == "bounded cache":
        assert (top["verdict"], top["cache"]) == ("stable", True)
        assert "a cache" in suspects(capsys, last, "--baseline", second)
    else:
        assert top["verdict"] == "growing" and not top["cache"]
        assert top["history"][0] < top["history"][1] < top["retained"]
        # The signature is that of the same path in the earlier dump.
        assert top["signature"] in {s["signature"] for s in suspects(capsys, second, "--json")["suspects"]}


def test_a_store_without_retained_sizes_is_refused(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    dump = tmp_path / "heap.jsonl"
    dump.write_text('{"id": 1, "type": "builtins.list", "references": [], "size": 56}\n')
    store = str(tmp_path / "store")
    assert main(["import", str(dump), store, "-q", "--no-retained"]) == 0
    capsys.readouterr()
    assert main(["suspects", store]) == 1
    assert "vesker retained" in capsys.readouterr().err


def test_a_traced_dump_says_where_the_suspect_and_what_it_holds_were_made(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]
) -> None:
    dump, store = str(tmp_path / "d0.jsonl"), str(tmp_path / "store")
    ran = subprocess.run([sys.executable, "-m", "vesker", "dump", "--trace-allocations", "-o", dump, str(CORPUS),
                          str(tmp_path), "exit", "buffer without traversal", "300"],
                         capture_output=True, text=True, env=ENVIRONMENT)
    assert ran.returncode == 0, ran.stderr
    assert main(["import", "-q", dump, store]) == 0
    top = suspects(capsys, store, "--json")["suspects"][0]
    assert "__main__.BUFFERS" in top["label"]
    assert "leak_corpus.py:" in top["site"] and " in " not in top["site"], top["site"]  # at module level
    assert "leak_corpus.py:" in top["held_site"] and top["held_site"].endswith(" in request"), top["held_site"]
    text = suspects(capsys, store)
    assert f"   made at {top['site']}\n   its array.array (the largest of them): made at {top['held_site']}" in text
