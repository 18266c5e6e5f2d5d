"""Checks repaired wheels and prints their sizes and tags; exits 1 on the first fault.

A wheel must hold every native module the source tree builds, the core library they share, the
`vesker` package with its marker for type checkers, and the stubs; and auditwheel must find it
consistent with a manylinux policy while needing no shared library beyond the system's C and C++
runtime (which it would otherwise have grafted into a `.libs` folder). Needs auditwheel on PATH.

Usage: python scripts/check_wheel.py WHEEL...
"""

from __future__ import annotations

import fnmatch
import io
import pathlib
import re
import subprocess
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

SOURCE = pathlib.Path(__file__).resolve().parents[1] / "src"

# Source folder of each native module, where its build lands in the wheel, and the oldest
# CPython it is built for.
NATIVE_MODULES = {
    "python": ("vesker_analysis.cpython-*.so", (3, 11)),
    "engine": ("vesker/engine.cpython-*.so", (3, 11)),
    "walker": ("vesker/_walker.cpython-*.so", (3, 13)),
}
SHARED_CORE = "vesker/libvesker_core.so"
ALWAYS = ["vesker/__init__.py", "vesker/cli.py", "vesker/py.typed", "vesker/engine.pyi",
          "vesker/_pending.so",
          "vesker_analysis-stubs/__init__.pyi"]


def native_modules(wheel: pathlib.Path) -> list[str]:
    python_tag = wheel.name.split("-")[2]  # e.g. cp313
    version = (int(python_tag[2]), int(python_tag[3:]))
    return [pattern for folder, (pattern, oldest) in NATIVE_MODULES.items()
            if (SOURCE / folder).is_dir() and version >= oldest]


def needed_libraries(elf_bytes: bytes) -> set[str]:
    elf = ELFFile(io.BytesIO(elf_bytes))
    return {tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
            for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}


def faults(wheel: pathlib.Path) -> tuple[list[str], str]:
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    problems = [f"missing {pattern}" for pattern in ALWAYS + [SHARED_CORE] + native_modules(wheel)
                if not fnmatch.filter(names, pattern)]
    # Each module must load the one core library rather than carry a copy of the core.
    core = pathlib.PurePath(SHARED_CORE).name
    problems += [f"{name} does not load {core}" for pattern in native_modules(wheel)
                 for name in fnmatch.filter(names, pattern)
                 if core not in needed_libraries(archive.read(name))]
    problems += [f"grafted library {name}" for name in names if ".libs/" in name]
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    report = " ".join(shown.stdout.split())
    tag = re.search(r'consistent with the following platform tag: "(manylinux_\d+_\d+_\w+)"', report)
    if shown.returncode != 0 or tag is None:
        problems.append("auditwheel finds no manylinux tag: " + (report or shown.stderr.strip()))
    if "external shared libraries are required" in report:
        problems.append("needs external libraries: " + report)
    return problems, tag.group(1) if tag else "-"


def main(wheels: list[str]) -> int:
    failed = False
    for name in wheels:
        wheel = pathlib.Path(name)
        problems, tag = faults(wheel)
        print(f"{wheel.name}  {wheel.stat().st_size / 1024:.0f} KiB  {tag}")
        for problem in problems:
            print(f"  FAULT: {problem}")
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
