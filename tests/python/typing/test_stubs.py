"""The extension's stubs: strict mypy accepts typical use and matches the runtime module."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)


def _mypy(*arguments: str, cache: pathlib.Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPY_CACHE_DIR=str(cache))
    return subprocess.run(
        [sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=HERE, env=env
    )


@needs_mypy
def test_usage_example_passes_strict_mypy(tmp_path: pathlib.Path) -> None:
    result = _mypy("mypy", "--strict", str(HERE / "usage_example.py"), cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stubs_match_the_runtime_module(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("vesker_analysis")
    result = _mypy("mypy.stubtest", "vesker_analysis", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_vesker_package_passes_strict_mypy(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("vesker")
    result = _mypy("mypy", "--strict", "-p", "vesker", cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
