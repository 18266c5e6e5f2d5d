"""`vesker --version` reports the version the package was installed as, which is pyproject's."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tomllib

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def test_version_flag_agrees_with_pyproject() -> None:
    declared = tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    completed = subprocess.run([sys.executable, "-m", "vesker", "--version"],
                               capture_output=True, text=True, check=True)
    assert completed.stdout == f"vesker {declared}\n"


def test_the_dumper_names_the_packages_version() -> None:
    # The sidecar names the dumper's version; the dumper imports nothing to find it.
    from vesker.dumper import DUMPER_VERSION

    assert DUMPER_VERSION == tomllib.loads(PYPROJECT.read_text())["project"]["version"]
