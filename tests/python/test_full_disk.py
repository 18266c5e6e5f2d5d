"""Imports onto a file system that fills up: the full disk is named, whatever the phase, and
what was committed is kept and said."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

import vesker
from small_disk import small_file_system
from vesker import engine

PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small file system needs root")


def vesker_command(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "vesker", *arguments], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT))


def test_a_full_disk_is_named_and_what_was_committed_is_kept(tmp_path: pathlib.Path) -> None:
    dump = tmp_path / "heap.jsonl"
    with dump.open("w") as out:
        out.write('{"id": 1, "type": "builtins.list", "references": [%s], "size": 64}\n'
                  % ", ".join(str(i) for i in range(2, 20_002)))
        for i in range(2, 20_002):
            out.write('{"id": %d, "type": "builtins.str", "references": [], "value": "%s", "size": 90}\n'
                      % (i, f"text {i:08d} " * 4))
    complete = tmp_path / "complete"
    assert vesker_command("import", "-q", str(dump), str(complete)).returncode == 0
    needed = sum(file.stat().st_blocks * 512 for file in complete.iterdir()) // 1024

    outcomes = set()
    # From too small for the records to too small for the last of the import's steps.
    for share in (0.1, 0.3, 0.5, 0.7, 0.9, 1.05, 1.2, 1.4):
        with small_file_system(tmp_path / f"disk-{share}", int(needed * share)) as disk:
            store = disk / "store"
            done = vesker_command("import", "-q", str(dump), str(store))
            if done.returncode == 0:
                continue  # the store fitted after all: nothing to check
            error = done.stderr.strip().splitlines()[-1]  # after the progress lines
            assert done.returncode == 1 and error.startswith("vesker import: error: "), done.stderr
            assert "the disk is full" in error and "is not a heap dump record" not in error, error
            if store.exists():
                # Kept: something was committed, and the message says what.
                with engine.Store(store) as kept:
                    assert kept.object_count() == 20_001, error
                assert "committed: the dump's" in error or "keeps its objects without retained" in error, error
                outcomes.add("kept")
            else:
                assert "nothing was committed, so the store directory it created is removed" in error, error
                outcomes.add("removed")
    assert outcomes == {"kept", "removed"}
