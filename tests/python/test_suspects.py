"""`vesker suspects`: the leak's holder first, with its named path; growing across three dumps
of one process, and a bounded cache of one size stable, not a leak."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

from test_cli import json_of, vesker_command

PROGRAM = os.path.join(os.path.dirname(__file__), "leak_programs.py")

# What the path of the first suspect names, per case.
HOLDERS = {
    "list": "__main__.LEAKED",
    "handler": "__main__.HANDLER",  # its buffer is an inline attribute: named only in a forked dump
    "listeners": "__main__.LISTENERS",
    "cache": "__main__.CACHE",
}


def _stores(tmp_path, case):
    out = tmp_path / case
    out.mkdir()
    ran = subprocess.run([sys.executable, PROGRAM, str(out), case], capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    stores = []
    for step in range(3):
        store = str(out / f"store-{step}")
        imported = vesker_command("import", str(out / f"dump-{step}.jsonl"), store, "-q")
        assert imported.returncode == 0, imported.stderr
        stores.append(store)
    return stores


@pytest.mark.parametrize("case", sorted(HOLDERS))
def test_the_holder_comes_first_and_growth_tells_leak_from_cache(tmp_path, case):
    first, second, last = _stores(tmp_path, case)
    alone = json_of("suspects", last)
    top = alone["suspects"][0]
    assert HOLDERS[case] in top["label"], top["label"]
    assert top["share"] >= 0.10 and top["verdict"] is None
    assert top["path"][0]["type"] == "builtins.module" and top["path"][1]["name"] == ".__dict__"

    judged = json_of("suspects", last, "--baseline", first, "--baseline", second)
    top = judged["suspects"][0]
    assert HOLDERS[case] in top["label"]
    if case == "cache":
        assert (top["verdict"], top["cache"]) == ("stable", True)
        assert "a cache" in vesker_command("suspects", last, "--baseline", second).stdout
    else:
        assert top["verdict"] == "growing" and not top["cache"]
        assert top["history"][0] < top["history"][1] < top["retained"]
        # The signature is that of the same path in the earlier dump.
        assert top["signature"] in {s["signature"] for s in json_of("suspects", second)["suspects"]}

    text = vesker_command("suspects", last).stdout
    assert text.splitlines()[2].startswith("1. ") and HOLDERS[case] in text.splitlines()[2]


def test_a_store_without_retained_sizes_is_refused(tmp_path):
    dump = tmp_path / "heap.jsonl"
    dump.write_text('{"id": 1, "type": "builtins.list", "references": [], "size": 56}\n')
    store = str(tmp_path / "store")
    assert vesker_command("import", str(dump), store, "-q", "--no-retained").returncode == 0
    refused = vesker_command("suspects", store)
    assert refused.returncode == 1 and "vesker retained" in refused.stderr
