"""Checks tagged wheels and prints their sizes, tags and the newest C library version each needs;
exits 1 when any wheel has a fault.

A wheel must hold every native module the source tree builds, libvesker.so that holds their code,
the `vesker` package with its marker for type checkers, and the stubs. Its platform tag must hold:
no ELF file may need a GLIBC_ or GLIBCXX_ symbol version newer than the tag allows (a musllinux
wheel none at all), nor a shared library beyond the C library itself. And the process must get one
C++ runtime: libvesker.so links it statically, so nothing may load a system C++ runtime, and the
module files must hold no code of their own (they load libvesker.so; cmake/NativeModules.cmake).
For manylinux wheels auditwheel, which must be on PATH, is asked for its verdict too.

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
from elftools.elf.gnuversions import GNUVerNeedSection
from elftools.elf.sections import SymbolTableSection

SOURCE = pathlib.Path(__file__).resolve().parents[1] / "src"

# Source folder of each native module, where its file lands in the wheel, and the oldest CPython
# it is built for.
NATIVE_MODULES = {
    "python": ("vesker_analysis.cpython-*.so", (3, 11)),
    "engine": ("vesker/engine.cpython-*.so", (3, 11)),
    "walker": ("vesker/_walker.cpython-*.so", (3, 13)),
}
LIBRARY = "vesker/libvesker.so"
ALWAYS = ["vesker/__init__.py", "vesker/cli/__init__.py", "vesker/py.typed", "vesker/engine.pyi",
          "vesker/_pending.so",
          "vesker_analysis-stubs/__init__.pyi"]

# What each platform tag lets a wheel need: the newest glibc and libstdc++ symbol versions (as
# the manylinux policies state them), and the shared libraries of the C library.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                   "ld-linux-x86-64.so.2"}
MUSL_LIBRARIES = {"libc.so", "libc.musl-x86_64.so.1"}
PLATFORMS = {
    "manylinux2014_x86_64": ((2, 17), (3, 4, 19), GLIBC_LIBRARIES),
    "manylinux_2_17_x86_64": ((2, 17), (3, 4, 19), GLIBC_LIBRARIES),
    "manylinux_2_28_x86_64": ((2, 28), (3, 4, 24), GLIBC_LIBRARIES),
    "musllinux_1_2_x86_64": (None, None, MUSL_LIBRARIES),
}
ALIASES = {"manylinux2014_x86_64": "manylinux_2_17_x86_64"}
C_PLUS_PLUS_RUNTIMES = ("libstdc++.so", "libc++.so", "libc++abi.so")


def native_modules(wheel: pathlib.Path) -> list[str]:
    python_tag = wheel.name.split("-")[2]  # e.g. cp313
    version = (int(python_tag[2]), int(python_tag[3:]))
    return [pattern for folder, (pattern, oldest) in NATIVE_MODULES.items()
            if (SOURCE / folder).is_dir() and version >= oldest]


def needed_libraries(elf: ELFFile) -> set[str]:
    return {tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
            for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}


def needed_versions(elf: ELFFile) -> dict[str, set[tuple[int, ...]]]:
    """The symbol versions the file needs, by family: {"GLIBC": {(2, 14), ...}, "GLIBCXX": ...}."""
    versions: dict[str, set[tuple[int, ...]]] = {}
    for section in elf.iter_sections():
        if not isinstance(section, GNUVerNeedSection):
            continue
        for _, auxiliaries in section.iter_versions():
            for auxiliary in auxiliaries:
                match = re.fullmatch(r"([A-Z]+)_([\d.]+)", auxiliary.name)
                if match:
                    number = tuple(int(part) for part in match.group(2).split("."))
                    versions.setdefault(match.group(1), set()).add(number)
    return versions


def defined_functions(elf: ELFFile) -> list[str]:
    table = elf.get_section_by_name(".dynsym")
    if not isinstance(table, SymbolTableSection):
        return []
    return [symbol.name for symbol in table.iter_symbols()
            if symbol["st_info"]["type"] == "STT_FUNC" and symbol["st_shndx"] != "SHN_UNDEF"]


def dotted(version: tuple[int, ...] | None) -> str:
    return ".".join(map(str, version)) if version else "-"


def platform_faults(name: str, elf: ELFFile, platform: str) -> list[str]:
    newest_glibc, newest_glibcxx, c_libraries = PLATFORMS[platform]
    problems = []
    for family, versions in needed_versions(elf).items():
        newest = {"GLIBC": newest_glibc, "GLIBCXX": newest_glibcxx}.get(family)
        too_new = sorted(v for v in versions if newest is None or v > newest)
        if family in ("GLIBC", "GLIBCXX") and too_new:
            problems.append(f"{name} needs {family}_{dotted(too_new[-1])}, newer than {platform} allows")
    foreign = sorted(library for library in needed_libraries(elf)
                     if library not in c_libraries and library != pathlib.PurePath(LIBRARY).name)
    problems += [f"{name} needs {library}, which {platform} does not provide" for library in foreign]
    return problems


def platforms_of(wheel: pathlib.Path) -> list[str]:
    return wheel.name.removesuffix(".whl").split("-")[-1].split(".")


def elf_faults(wheel: pathlib.Path) -> tuple[list[str], tuple[int, ...]]:
    """What the wheel's ELF files need that its tag does not give, and the newest GLIBC needed."""
    archive = zipfile.ZipFile(wheel)
    platforms = [platform for platform in platforms_of(wheel) if platform in PLATFORMS]
    modules = {name for pattern in native_modules(wheel) for name in fnmatch.filter(archive.namelist(), pattern)}
    problems: list[str] = []
    newest_glibc: tuple[int, ...] = ()
    for name in archive.namelist():
        if not name.endswith(".so") and ".so." not in name:
            continue
        elf = ELFFile(io.BytesIO(archive.read(name)))
        needed = needed_libraries(elf)
        newest_glibc = max([newest_glibc, *needed_versions(elf).get("GLIBC", ())])
        for platform in platforms:
            problems += platform_faults(name, elf, platform)
        problems += [f"{name} loads the C++ runtime {library}" for library in needed
                     if library.startswith(C_PLUS_PLUS_RUNTIMES)]
        if name in modules:
            if pathlib.PurePath(LIBRARY).name not in needed:
                problems.append(f"{name} does not load {LIBRARY}")
            problems += [f"{name} holds code of its own ({symbol})" for symbol in defined_functions(elf)]
    return problems, newest_glibc


def faults(wheel: pathlib.Path) -> tuple[list[str], str]:
    names = zipfile.ZipFile(wheel).namelist()
    platforms = platforms_of(wheel)
    problems = [f"unknown platform tag {platform}" for platform in platforms if platform not in PLATFORMS]
    problems += [f"missing {pattern}" for pattern in ALWAYS + [LIBRARY] + native_modules(wheel)
                 if not fnmatch.filter(names, pattern)]
    problems += [f"grafted library {name}" for name in names if ".libs/" in name]
    found, newest_glibc = elf_faults(wheel)
    problems += found
    manylinux = sorted(ALIASES.get(platform, platform) for platform in platforms
                       if platform.startswith("manylinux"))
    if manylinux:
        shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
        report = " ".join(shown.stdout.split())
        if shown.returncode != 0 or f'tag: "{manylinux[-1]}"' not in report:
            problems.append(f"auditwheel does not find the wheel consistent with {manylinux[-1]}: "
                            + (report or shown.stderr.strip()))
    return problems, f"needs GLIBC {dotted(newest_glibc)}" if newest_glibc else "needs no GLIBC symbol"


def main(wheels: list[str]) -> int:
    failed = False
    for name in wheels:
        wheel = pathlib.Path(name)
        problems, needs = faults(wheel)
        print(f"{wheel.name}  {wheel.stat().st_size / 1024:.0f} KiB  {needs}")
        for problem in problems:
            print(f"  FAULT: {problem}")
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
