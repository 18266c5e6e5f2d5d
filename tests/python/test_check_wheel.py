"""scripts/check_wheel.py reads what a wheel's ELF files need: the build installed here, made by
the system's compiler for this machine's glibc and libstdc++, must be refused under the portable
tags, while its layout (module stubs that load the one libvesker.so) passes."""

from __future__ import annotations

import importlib.util
import pathlib
import sys
import zipfile

import pytest

pytest.importorskip("elftools")
import vesker  # noqa: E402

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_wheel.py"


def load_checker():  # type: ignore[no-untyped-def]
    spec = importlib.util.spec_from_file_location("check_wheel", SCRIPT)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def installed_build_as_wheel(folder: pathlib.Path, platform: str) -> pathlib.Path:
    site = pathlib.Path(vesker.__file__).resolve().parents[1]
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    wheel = folder / f"vesker_analysis-0.1.0-{tag}-{tag}-{platform}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for native in [*site.glob("vesker_analysis.*.so"), *(site / "vesker").glob("*.so")]:
            archive.write(native, native.relative_to(site).as_posix())
    return wheel


@pytest.mark.parametrize("platform", ["manylinux_2_17_x86_64", "musllinux_1_2_x86_64"])
def test_a_build_for_this_machine_is_refused_under_a_portable_tag(tmp_path: pathlib.Path, platform: str) -> None:
    checker = load_checker()
    problems, newest_glibc = checker.elf_faults(installed_build_as_wheel(tmp_path, platform))
    assert newest_glibc > (2, 17)
    assert any(f"libvesker.so needs GLIBC_{'.'.join(map(str, newest_glibc))}, newer than {platform}" in problem
               for problem in problems), problems
    assert any("libvesker.so loads the C++ runtime libstdc++.so.6" in problem for problem in problems), problems
    # The layout is the portable one: every module file is a stub that loads libvesker.so.
    assert not [problem for problem in problems if "does not load" in problem or "holds code" in problem]
