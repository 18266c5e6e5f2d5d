"""Addresses of functions in another process, from the symbol tables of the
files it has mapped (64-bit little-endian ELF, as on Linux x86-64)."""

from __future__ import annotations

import os
import re
import stat
import struct
from dataclasses import dataclass

# Symbol tables of real libraries are a few megabytes; anything far larger is
# not what the process mapped.
_SIZE_LIMIT = 1 << 30
_ET_EXEC = 2
_PT_LOAD = 1
_SHT_SYMTAB = 2
_SHT_DYNSYM = 11


class SymbolError(Exception):
    """A mapped file could not be read as the ELF object it should be."""


@dataclass(frozen=True)
class Mapping:
    start: int
    end: int
    offset: int
    device: tuple[int, int]
    inode: int
    path: str
    executable: bool


@dataclass(frozen=True)
class Symbol:
    address: int  # in the process
    size: int


def mappings(pid: int) -> list[Mapping]:
    with open(f"/proc/{pid}/maps", "rb") as handle:
        text = handle.read(64 << 20).decode("utf-8", "replace")
    found = []
    for line in text.splitlines():
        parts = line.split(None, 5)
        if len(parts) < 6 or not parts[5].startswith("/"):
            continue
        start, end = (int(value, 16) for value in parts[0].split("-"))
        major, minor = (int(value, 16) for value in parts[3].split(":"))
        found.append(Mapping(start, end, int(parts[2], 16), (major, minor), int(parts[4]),
                             parts[5], "x" in parts[1]))
    return found


def _open_mapped(pid: int, root: str, mapping: Mapping) -> int:
    """The file behind `mapping`, checked to be the very file mapped: a path
    in a directory the process's user controls may since point elsewhere.
    map_files names the mapped file itself, where we may read it (root)."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC
    try:
        descriptor = os.open(f"/proc/{pid}/map_files/{mapping.start:x}-{mapping.end:x}", flags)
    except OSError:
        descriptor = os.open(root + mapping.path, flags | os.O_NOFOLLOW)
    info = os.fstat(descriptor)
    if (not stat.S_ISREG(info.st_mode) or info.st_ino != mapping.inode
            or (os.major(info.st_dev), os.minor(info.st_dev)) != mapping.device
            or info.st_size > _SIZE_LIMIT):
        os.close(descriptor)
        raise SymbolError(f"{mapping.path} is no longer the file process {pid} mapped")
    return descriptor


def _read(descriptor: int, offset: int, size: int) -> bytes:
    data = os.pread(descriptor, size, offset)
    if len(data) != size:
        raise SymbolError("truncated ELF file")
    return data


def _symbols(descriptor: int, wanted: set[str]) -> tuple[bool, int, dict[str, tuple[int, int]]]:
    """Whether the object is position-dependent, its first load address, and the
    values and sizes of the wanted defined symbols."""
    header = _read(descriptor, 0, 64)
    if header[:4] != b"\x7fELF" or header[4] != 2 or header[5] != 1:
        raise SymbolError("not a 64-bit little-endian ELF file")
    (kind, phoff, shoff, phentsize, phnum, shentsize, shnum) = (
        struct.unpack_from("<H", header, 16)[0], *struct.unpack_from("<QQ", header, 32),
        *struct.unpack_from("<HH", header, 54), *struct.unpack_from("<HH", header, 58))
    first_load = None
    for index in range(phnum):
        entry = _read(descriptor, phoff + index * phentsize, 56)
        if struct.unpack_from("<I", entry, 0)[0] == _PT_LOAD:
            vaddr = struct.unpack_from("<Q", entry, 16)[0]
            first_load = vaddr if first_load is None else min(first_load, vaddr)
    if first_load is None:
        raise SymbolError("no loadable segment")
    sections = [struct.unpack_from("<IIQQQQIIQQ", _read(descriptor, shoff + i * shentsize, 64))
                for i in range(shnum)]
    found: dict[str, tuple[int, int]] = {}
    for table_type in (_SHT_DYNSYM, _SHT_SYMTAB):
        for _, kind_of, _, _, offset, size, link, _, _, entsize in sections:
            if kind_of != table_type or entsize != 24 or link >= len(sections):
                continue
            strings = _read(descriptor, sections[link][4], sections[link][5])
            table = _read(descriptor, offset, size)
            for position in range(0, size - size % 24, 24):
                name_at, info, _, shndx, value, sym_size = struct.unpack_from(
                    "<IBBHQQ", table, position)
                # Defined, and without a type, an object or a function.
                if shndx == 0 or value == 0 or info & 0xF not in (0, 1, 2):
                    continue
                end = strings.find(b"\0", name_at)
                name = strings[name_at:end].decode("ascii", "replace").partition("@")[0]
                if name in wanted and name not in found:
                    found[name] = (value, sym_size)
    return kind == _ET_EXEC, first_load & ~0xFFF, found


def resolve(pid: int, root: str, pattern: str, names: set[str]) -> dict[str, Symbol]:
    """The wanted symbols defined by the files the process mapped whose path
    matches `pattern`, at their addresses in the process."""
    by_path: dict[str, list[Mapping]] = {}
    for mapping in mappings(pid):
        if re.search(pattern, mapping.path):
            by_path.setdefault(mapping.path, []).append(mapping)
    result: dict[str, Symbol] = {}
    for path, parts in by_path.items():
        base = [m for m in parts if m.offset == 0]
        if not base:
            continue
        descriptor = _open_mapped(pid, root, base[0])
        try:
            fixed, first_load, found = _symbols(descriptor, names - set(result))
        except (struct.error, IndexError) as error:
            raise SymbolError(f"{path}: malformed ELF file ({error})") from None
        finally:
            os.close(descriptor)
        bias = 0 if fixed else min(m.start for m in base) - first_load
        for name, (value, size) in found.items():
            result[name] = Symbol(value + bias, size)
    return result


def code_between(path: str, start: str, end: str) -> bytes:
    """The bytes of a library's code from symbol `start` to symbol `end`."""
    descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        _, _, found = _symbols(descriptor, {start, end})
        header = _read(descriptor, 0, 64)
        phoff, = struct.unpack_from("<Q", header, 32)
        phentsize, phnum = struct.unpack_from("<HH", header, 54)
        begin, finish = found[start][0], found[end][0]
        for index in range(phnum):
            kind, _, offset, vaddr, _, filesz = struct.unpack_from(
                "<IIQQQQ", _read(descriptor, phoff + index * phentsize, 56))
            if kind == _PT_LOAD and vaddr <= begin and finish <= vaddr + filesz:
                return _read(descriptor, offset + begin - vaddr, finish - begin)
    finally:
        os.close(descriptor)
    raise SymbolError(f"{path}: {start} is not in a loadable segment")
