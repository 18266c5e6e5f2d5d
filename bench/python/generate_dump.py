"""Deterministic synthetic heap dumps shaped like the heap of a CPython process.

Public API (kept small on purpose, the benchmarks build on it):

    generate(out, objects, seed=1, *, gzip_output=None) -> DumpStats
        Write `objects` JSON Lines records to `out` (a path or a binary file
        object). A path ending in ".gz" is gzip-compressed unless
        `gzip_output` says otherwise.

    iter_lines(objects, seed=1) -> Iterator[bytes]
        The same records as `generate` writes, one bytes line (with its
        trailing line feed) at a time, ready for `HeapDumpExplorer.import_lines`.

The same (objects, seed) pair always yields byte-identical output.

Shape of the heap:

- Ids look like CPython addresses: 16-byte aligned, static objects (None,
  True, builtin types) around 0x55..., heap objects in per-size-class pools
  around 0x7f..., so that the dump order is not the id order; a handful of
  objects carry small ids (16 up to 4096).
- A core region of singletons, small ints, common strings and builtin types
  (with their dicts and descriptors, which form cycles), referenced by very
  many objects (hubs).
- Module regions: a `builtins.module` object, its namespace dict and a tree of
  functions, code objects, tuples, types and descriptors below it; functions
  refer back to the namespace dict, descriptors to their owner, so each
  module is a tangle of cycles. Some references go to a few popular modules,
  to other module objects, to freed addresses (ids without a record) and to
  the object itself.
- Data regions: larger trees of dicts, lists, tuples and instances of
  application classes holding strings, ints, floats and bytes.
- Linked structures: now and then a deep chain of `app.Link` objects (each holding a
  small string) held by nothing in the dump, as from a frame, whose last link
  enters a large ring of `app.RingNode` objects linked both ways (one strongly
  connected component of thousands), one of which also refers to a module.
- Out-degree is 0 to 50 with a long tail; a module's namespace dict may be
  larger. Values are short texts (with quotes, backslashes, control and
  non-ASCII characters now and then) for strings, ints, floats, bytes and
  named objects, null otherwise.

Run as a script:  python generate_dump.py OUT.jsonl --objects 1000000 --seed 1 [--gzip]
"""

from __future__ import annotations

import argparse
import gzip
import json
import math
import os
import random
import sys
import time
from typing import Iterator, NamedTuple

__all__ = ["DumpStats", "generate", "iter_lines"]


class DumpStats(NamedTuple):
    objects: int
    references: int
    dangling_references: int
    modules: int


# Reference slot codes used while a region is being built. A code >= 0 is the
# creation number of a child within the region; external ids are stored as
# -(id) - _EXTERNAL_BIAS so that they never collide with the small codes.
_PARENT = -1
_GRANDPARENT = -2
_REGION_ROOT = -3
_FORWARD = -4
_BACK = -5
_SELF = -6
_EXTERNAL_BIAS = 10

_BATCH = 4096
_CHUNK_BYTES = 1 << 21


def _json_text(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


class _Draw:
    """Weighted choices drawn in big batches: one Python call per draw."""

    __slots__ = ("_rng", "_population", "_cum", "_buffer", "_pos")

    def __init__(self, rng: random.Random, population, weights):
        self._rng = rng
        self._population = list(population)
        total = 0.0
        self._cum = []
        for w in weights:
            total += w
            self._cum.append(total)
        self._buffer: list = []
        self._pos = 0

    def __call__(self):
        if self._pos == len(self._buffer):
            self._buffer = self._rng.choices(self._population, cum_weights=self._cum, k=_BATCH)
            self._pos = 0
        item = self._buffer[self._pos]
        self._pos += 1
        return item


class _Uniform:
    """Floats in [0, 1) drawn in batches."""

    __slots__ = ("_rng", "_buffer", "_pos")

    def __init__(self, rng: random.Random):
        self._rng = rng
        self._buffer: list[float] = []
        self._pos = 0

    def __call__(self) -> float:
        if self._pos == len(self._buffer):
            r = self._rng.random
            self._buffer = [r() for _ in range(_BATCH)]
            self._pos = 0
        value = self._buffer[self._pos]
        self._pos += 1
        return value


def _tail_degrees(rng: random.Random, alpha: float, zero_share: float, count: int = 8192) -> list[int]:
    out = []
    for _ in range(count):
        if rng.random() < zero_share:
            out.append(0)
        else:
            out.append(min(50, int(rng.paretovariate(alpha))))
    return out


def _words(rng: random.Random, count: int) -> list[str]:
    syllables = ["ab", "al", "an", "ar", "be", "co", "da", "de", "el", "en", "er", "fo", "ge",
                 "in", "is", "ka", "le", "li", "ma", "mo", "ne", "no", "on", "or", "pa", "po",
                 "qu", "ra", "re", "ro", "sa", "se", "st", "ta", "te", "th", "ti", "to", "un",
                 "va", "we", "xy", "za"]
    out = []
    for _ in range(count):
        word = "".join(rng.choice(syllables) for _ in range(rng.choice((1, 2, 2, 3, 3, 4))))
        style = rng.random()
        if style < 0.2:
            word = "_" + word
        elif style < 0.25:
            word = "__" + word + "__"
        elif style < 0.35:
            word = word + "_" + str(rng.randrange(100))
        out.append(word)
    return out


def _text_pool(rng: random.Random, words: list[str], count: int) -> list[tuple[str, int]]:
    """(JSON text, CPython object size) of short string values."""
    specials = ['say "hi"', "C:\\temp\\file", "line1\nline2", "tab\there", "caf\u00e9",
                "\u4e2d\u6587", "emoji \U0001F600", "bell\x07", "/usr/lib/python3/", "",
                "x", "{}", "\\", "'quoted'", "a\r\nb"]
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.03:
            text = rng.choice(specials)
        elif r < 0.15:
            text = " ".join(rng.choice(words) for _ in range(rng.randrange(2, 12)))
        elif r < 0.2:
            text = rng.choice(words).upper()
        else:
            text = rng.choice(words)
        top = max((ord(c) for c in text), default=0)
        if top < 128:
            size = 41 + len(text) if text == "" else 49 + len(text)
        elif top < 256:
            size = 73 + len(text)
        elif top < 65536:
            size = 74 + 2 * len(text)
        else:
            size = 76 + 4 * len(text)
        out.append((_json_text(text), size))
    return out


def _int_pool(rng: random.Random, count: int) -> list[tuple[str, int]]:
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.5:
            n = rng.randrange(257, 100000)
        elif r < 0.8:
            n = rng.randrange(-10**9, 10**9)
        elif r < 0.95:
            n = rng.randrange(1 << 40, 1 << 62)
        else:
            n = rng.randrange(1 << 64, 1 << 200)
        digits = max(1, (abs(n).bit_length() + 29) // 30)
        out.append(('"%d"' % n, 24 + 4 * digits))
    return out


def _float_pool(rng: random.Random, count: int) -> list[tuple[str, int]]:
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.3:
            x = float(rng.randrange(10**10))
        elif r < 0.95:
            x = rng.uniform(-1e6, 1e6)
        else:
            x = rng.choice((math.inf, -math.inf, 1e-300, 0.1))
        out.append((_json_text(repr(x)), 24))
    return out


def _bytes_pool(rng: random.Random, count: int) -> list[tuple[str, int]]:
    out = []
    for _ in range(count):
        n = rng.choice((1, 2, 3, 4, 4, 8, 12, 16, 32, 64, 300))
        data = bytes(rng.randrange(256) if rng.random() < 0.3 else rng.randrange(32, 127)
                     for _ in range(n))
        out.append((_json_text(repr(data)), 33 + n))
    return out


# Per-type plans: (type name, is leaf, size picker, degree picker, value kind).
# Sizes follow what sys.getsizeof reports on a 64-bit CPython.
_DICT_SIZES = [(0, 64), (1, 184), (5, 272), (10, 472), (21, 832), (42, 1296), (85, 2336),
               (170, 4696), (341, 9304), (682, 18520)]


def _dict_size(entries: int) -> int:
    size = 64
    for limit, s in _DICT_SIZES:
        if entries >= limit:
            size = s
    return size


class _Generator:
    def __init__(self, objects: int, seed: int):
        if objects < 0:
            raise ValueError("objects must not be negative")
        self.target = objects
        self.rng = rng = random.Random(seed)
        self.uniform = _Uniform(rng)
        self.words = _words(rng, 6000)
        self.texts = _text_pool(rng, self.words, 20000)
        self.ints = _int_pool(rng, 5000)
        self.floats = _float_pool(rng, 2000)
        self.bytes_values = _bytes_pool(rng, 2000)
        self.name_values = [(_json_text(w), 0) for w in self.words]
        self.pick_text = _Draw(rng, range(len(self.texts)), [1] * len(self.texts))
        self.pick_int = _Draw(rng, range(len(self.ints)), [1] * len(self.ints))
        self.pick_float = _Draw(rng, range(len(self.floats)), [1] * len(self.floats))
        self.pick_bytes = _Draw(rng, range(len(self.bytes_values)), [1] * len(self.bytes_values))
        self.pick_name = _Draw(rng, range(len(self.words)), [1] * len(self.words))

        self.tuple_degrees = _tail_degrees(rng, 1.3, 0.05)
        self.list_degrees = _tail_degrees(rng, 0.9, 0.3)
        self.set_degrees = _tail_degrees(rng, 0.8, 0.2)
        self.dict_entries = _tail_degrees(rng, 1.0, 0.1)
        self.pick_degree_index = _Draw(rng, range(8192), [1] * 8192)

        # Address space: static objects, then pymalloc-like pools per size class.
        self.static_next = 0x5600_0000_0000 + 16 * rng.randrange(1 << 20)
        heap_base = 0x7F00_0000_0000 + (rng.randrange(0x100) << 32)
        self.class_next = [heap_base + (c << 32) for c in range(34)]
        self.freed: list[int] = []
        self.small_ids = [16, 48, 256, 4096]

        self.type_names: list[str] = []
        self.type_json: list[str] = []
        self.type_ids: dict[str, int] = {}
        self.popular_ids: list[int] = []
        self.popular_regions = 0
        self.module_ids: list[int] = []
        self.app_types: list[int] = []
        self.stats_refs = 0
        self.stats_dangling = 0
        self.emitted = 0
        self._setup_kinds()

    # -- ids ------------------------------------------------------------------

    def _heap_id(self, size: int) -> int:
        cls = (size + 15) >> 4
        if cls > 32:
            cls = 33
            stride = (size + 15) & ~15
        else:
            stride = cls << 4
        addr = self.class_next[cls]
        if self.uniform() < 0.03:
            # A freed slot: its address is what a dangling reference points at.
            if len(self.freed) < 50000:
                self.freed.append(addr)
            addr += stride
        self.class_next[cls] = addr + stride
        return addr

    def _static_id(self, size: int) -> int:
        addr = self.static_next
        self.static_next += (size + 31) & ~15
        return addr

    # -- type tables --------------------------------------------------------------

    def _setup_kinds(self):
        rng = self.rng
        # name, leaf, weight in module regions, weight in data regions
        self.kinds = [
            ("builtins.str", True, 0.37, 0.36),
            ("builtins.int", True, 0.055, 0.15),
            ("builtins.bytes", True, 0.016, 0.02),
            ("builtins.float", True, 0.002, 0.05),
            ("builtins.function", False, 0.11, 0.0),
            ("builtins.code", False, 0.105, 0.0),
            ("builtins.tuple", False, 0.095, 0.08),
            ("builtins.dict", False, 0.055, 0.14),
            ("weakref.ReferenceType", False, 0.024, 0.002),
            ("builtins.type", False, 0.02, 0.0),
            ("builtins.wrapper_descriptor", False, 0.019, 0.0),
            ("builtins.method_descriptor", False, 0.017, 0.0),
            ("builtins.getset_descriptor", False, 0.016, 0.0),
            ("builtins.builtin_function_or_method", False, 0.015, 0.002),
            ("builtins.list", False, 0.01, 0.06),
            ("builtins.cell", False, 0.0075, 0.0),
            ("builtins.member_descriptor", False, 0.0075, 0.0),
            ("builtins.property", False, 0.005, 0.0),
            ("builtins.set", False, 0.0025, 0.01),
            ("builtins.frozenset", False, 0.0023, 0.002),
            ("builtins.method", False, 0.001, 0.003),
            ("<instance>", False, 0.04, 0.12),
        ]
        for name, *_ in self.kinds:
            if name != "<instance>":
                self._type_index(name)
        app = list(dict.fromkeys(self.words[rng.randrange(len(self.words))].strip("_").capitalize() or "X"
                                 for _ in range(400)))
        mods = self.words[:120]
        self.app_type_names = [f"{mods[rng.randrange(len(mods))].strip('_') or 'app'}.{cls}"
                               for cls in app[:200]]
        self.app_type_index = [self._type_index(n) for n in self.app_type_names]
        zipf = [1.0 / (k + 1) for k in range(len(self.app_type_index))]
        self.pick_app_type = _Draw(rng, self.app_type_index, zipf)
        indices = [self._type_index(name) if name != "<instance>" else -1 for name, *_ in self.kinds]
        self.pick_module_kind = _Draw(rng, indices, [k[2] for k in self.kinds])
        self.pick_data_kind = _Draw(rng, indices, [k[3] for k in self.kinds])
        self.leaf_types = {self._type_index(n) for n, leaf, *_ in self.kinds if leaf and n != "<instance>"}
        self.t = {name: self._type_index(name) for name, *_ in self.kinds if name != "<instance>"}
        for extra in ("builtins.module", "builtins.NoneType", "builtins.bool", "builtins.ellipsis",
                      "builtins.NotImplementedType"):
            self.t[extra] = self._type_index(extra)
        self.code_sizes = [max(192, int(rng.lognormvariate(5.8, 0.7)) & ~7) for _ in range(4096)]
        self.type_sizes = [rng.choice((424, 920, 920, 1064, 1688, 1688)) for _ in range(4096)]
        # Where a reference slot points.
        slot_kinds = ["child", "hub", _BACK, _PARENT, _GRANDPARENT, _REGION_ROOT, _FORWARD,
                      "popular", "module", "dangling", _SELF]
        self.pick_slot = _Draw(rng, slot_kinds,
                               [0.44, 0.29, 0.12, 0.03, 0.015, 0.005, 0.015, 0.008, 0.012, 0.004, 0.001])
        self.pick_back = _Draw(rng, range(1, 257), [1.0 / k for k in range(1, 257)])

    def _type_index(self, name: str) -> int:
        index = self.type_ids.get(name)
        if index is None:
            index = len(self.type_names)
            self.type_ids[name] = index
            self.type_names.append(name)
            self.type_json.append(_json_text(name))
        return index

    # -- node plans -----------------------------------------------------------------

    def _plan(self, tidx: int, data_region: bool):
        """(type index, size, value JSON, degree, forced first slot) of a new object."""
        t = self.t
        if tidx == -1:
            cls = self.pick_app_type()
            return cls, self.rng.choice((48, 56)), "null", 2, "instance"
        if tidx == t["builtins.str"]:
            text, size = self.texts[self.pick_text()]
            return tidx, size, text, 0, None
        if tidx == t["builtins.int"]:
            text, size = self.ints[self.pick_int()]
            return tidx, size, text, 0, None
        if tidx == t["builtins.float"]:
            text, size = self.floats[self.pick_float()]
            return tidx, size, text, 0, None
        if tidx == t["builtins.bytes"]:
            text, size = self.bytes_values[self.pick_bytes()]
            return tidx, size, text, 0, None
        k = self.pick_degree_index()
        if tidx == t["builtins.tuple"]:
            n = self.tuple_degrees[k]
            return tidx, 40 + 8 * n, "null", n, None
        if tidx == t["builtins.list"]:
            n = self.list_degrees[k]
            return tidx, 56 + 8 * (n + (n >> 3)), "null", n, None
        if tidx == t["builtins.dict"]:
            n = self.dict_entries[k] // 2 + (1 if self.dict_entries[k] else 0)
            n = min(n, 25)
            return tidx, _dict_size(n), "null", 2 * n, None
        if tidx in (t["builtins.set"], t["builtins.frozenset"]):
            n = self.set_degrees[k]
            return tidx, 216 if n <= 4 else (728 if n <= 18 else 2264), "null", n, None
        if tidx == t["builtins.function"]:
            name = self.name_values[self.pick_name()][0]
            return tidx, 152, name, 6 + (k % 4), "globals" if not data_region else None
        if tidx == t["builtins.code"]:
            return tidx, self.code_sizes[k & 4095], "null", 5 + (k % 6), None
        if tidx == t["builtins.type"]:
            name = self.name_values[self.pick_name()][0]
            return tidx, self.type_sizes[k & 4095], name, 5 + (k % 9), None
        if tidx in (t["builtins.wrapper_descriptor"], t["builtins.method_descriptor"],
                    t["builtins.getset_descriptor"], t["builtins.member_descriptor"]):
            size = 64 if tidx in (t["builtins.getset_descriptor"], t["builtins.member_descriptor"]) else 72
            return tidx, size, "null", 1 + (k % 5 == 0), "owner"
        if tidx == t["builtins.builtin_function_or_method"]:
            name = self.name_values[self.pick_name()][0]
            return tidx, 72, name, 1 + (k & 1), None
        if tidx == t["builtins.cell"]:
            return tidx, 40, "null", 1, None
        if tidx == t["weakref.ReferenceType"]:
            return tidx, 80, "null", 1 + (k & 1), None
        if tidx == t["builtins.property"]:
            return tidx, 80, "null", 1 + (k % 4), None
        if tidx == t["builtins.method"]:
            return tidx, 64, "null", 2, None
        raise AssertionError(self.type_names[tidx])

    # -- core region ----------------------------------------------------------------

    def _core(self) -> list[str]:
        t = self.t
        lines: list[str] = []
        hubs: list[tuple[int, float]] = []

        def emit(tidx: int, oid: int, refs: list[int], value: str, size: int):
            self.stats_refs += len(refs)
            lines.append('{"id":%d,"type":%s,"references":[%s],"value":%s,"size":%d}\n'
                         % (oid, self.type_json[tidx], ",".join(map(str, refs)),
                            value, size))

        none_id = self._static_id(16)
        emit(t["builtins.NoneType"], none_id, [], '"None"', 16)
        hubs.append((none_id, 60.0))
        for text, weight in (("True", 15.0), ("False", 15.0)):
            oid = self._static_id(28)
            emit(t["builtins.bool"], oid, [], '"%s"' % text, 28)
            hubs.append((oid, weight))
        for tname, text in (("builtins.ellipsis", "Ellipsis"), ("builtins.NotImplementedType", "NotImplemented")):
            oid = self._static_id(16)
            emit(t[tname], oid, [], '"%s"' % text, 16)
            hubs.append((oid, 0.3))
        empty_tuple = self._static_id(40)
        emit(t["builtins.tuple"], empty_tuple, [], "null", 40)
        hubs.append((empty_tuple, 8.0))
        for n in range(-5, 257):
            oid = self._static_id(28)
            emit(t["builtins.int"], oid, [], '"%d"' % n, 28 if n else 24)
            hubs.append((oid, 6.0 / (abs(n) + 1)))
        common = self.words[:400]
        small = iter(self.small_ids)
        name_ids = []
        for rank, word in enumerate(common):
            oid = next(small, None) or self._heap_id(49 + len(word))
            emit(t["builtins.str"], oid, [], _json_text(word), 49 + len(word))
            name_ids.append(oid)
            hubs.append((oid, 3.0 / (rank + 1)))

        # Builtin types: type <-> dict <-> descriptors, mro tuples pointing back.
        object_type = None
        builtin_types = ["object", "type", "int", "str", "bytes", "tuple", "list", "dict", "set",
                         "frozenset", "float", "bool", "function", "code", "cell", "module",
                         "property", "classmethod", "staticmethod", "BaseException", "Exception",
                         "ValueError", "TypeError", "KeyError", "range", "slice", "memoryview",
                         "bytearray", "complex", "super", "enumerate", "zip", "map", "filter"]
        builtin_type_ids = []
        for k, name in enumerate(builtin_types):
            tid = self._static_id(920)
            dict_id = self._heap_id(2336)
            mro_id = self._heap_id(56)
            descr_ids = [self._heap_id(72) for _ in range(3 + k % 8)]
            dict_refs = []
            for d in descr_ids:
                dict_refs.append(name_ids[self.rng.randrange(len(name_ids))])
                dict_refs.append(d)
            for d in descr_ids:
                emit(t["builtins.wrapper_descriptor"], d, [tid], "null", 72)
            emit(t["builtins.dict"], dict_id, dict_refs, "null", _dict_size(len(descr_ids)))
            mro = [tid] if object_type is None else [tid, object_type]
            emit(t["builtins.tuple"], mro_id, mro, "null", 40 + 8 * len(mro))
            type_refs = [dict_id, mro_id, name_ids[k % len(name_ids)]]
            if object_type is not None:
                type_refs.append(object_type)
            emit(t["builtins.type"], tid, type_refs, _json_text(name), 920)
            if object_type is None:
                object_type = tid
            builtin_type_ids.append(tid)
            hubs.append((tid, 2.0 / (k + 1)))
        self.builtin_type_ids = builtin_type_ids

        # builtins: module object, namespace dict and builtin functions.
        functions = []
        for word in self.words[400:560]:
            oid = self._heap_id(72)
            emit(t["builtins.builtin_function_or_method"], oid, [], _json_text(word), 72)
            functions.append(oid)
            hubs.append((oid, 0.05))
        ns_id = self._heap_id(9304)
        ns_refs = []
        for k, oid in enumerate(functions + builtin_type_ids):
            ns_refs.append(name_ids[k % len(name_ids)])
            ns_refs.append(oid)
        emit(t["builtins.dict"], ns_id, ns_refs, "null", 9304)
        hubs.append((ns_id, 1.0))
        mod_id = self._heap_id(72)
        emit(t["builtins.module"], mod_id, [ns_id, name_ids[0]], '"builtins"', 72)
        self.module_ids.append(mod_id)

        self.emitted += len(lines)
        ids, weights = zip(*hubs)
        self.pick_hub = _Draw(self.rng, ids, weights)
        return lines

    # -- regions --------------------------------------------------------------------

    def _region(self, budget: int, data_region: bool) -> list[str]:
        """Objects of one module (or one data structure), as JSON lines."""
        t = self.t
        uniform = self.uniform
        pick_kind = self.pick_data_kind if data_region else self.pick_module_kind
        pick_slot = self.pick_slot
        pick_hub = self.pick_hub
        budget = max(budget, 2)
        make_module = not data_region
        if make_module:
            budget -= 1

        ntype: list[int] = []
        nsize: list[int] = []
        nvalue: list[str] = []
        nrefs: list[list[int]] = []
        nparent: list[int] = []

        def new_node(tidx: int, parent: int, forced_degree: int | None = None) -> int:
            cls, size, value, degree, first = self._plan(tidx, data_region)
            if forced_degree is not None:
                degree = forced_degree
                if cls == t["builtins.dict"]:
                    size = _dict_size(degree // 2)
            ntype.append(cls)
            nsize.append(size)
            nvalue.append(value)
            nparent.append(parent)
            refs: list[int] = []
            if first == "globals":
                refs.append(_REGION_ROOT)
            elif first == "owner":
                refs.append(_GRANDPARENT)
            elif first == "instance":
                # An instance: its __dict__ and its class.
                refs.append("dict")  # filled in when the node is expanded
                cls_id = (self.app_types[int(uniform() * len(self.app_types))]
                          if self.app_types and uniform() < 0.7 else 0)
                refs.append(-(cls_id or pick_hub()) - _EXTERNAL_BIAS)
                degree = 0
            refs.extend([None] * max(0, degree - len(refs)))
            nrefs.append(refs)
            return len(ntype) - 1

        # Top-down shape, breadth first, then objects are numbered in post-order
        # (children are allocated before the containers that hold them).
        queue: list[int] = []
        root_degree = min(1000, max(8, 2 * (budget // 8))) if make_module else None
        root_kind = t["builtins.dict"] if make_module else (t["builtins.list"] if uniform() < 0.5 else t["builtins.dict"])
        region_root = new_node(root_kind, -1, root_degree)
        roots = [region_root]
        queue.append(region_root)
        head = 0
        while True:
            if head == len(queue):
                if len(ntype) >= budget:
                    break
                root = new_node(pick_kind(), -1)
                roots.append(root)
                queue.append(root)
                continue
            n = queue[head]
            head += 1
            refs = nrefs[n]
            for k, slot in enumerate(refs):
                if slot is not None:
                    if slot == "dict":
                        if len(ntype) < budget:
                            child = new_node(t["builtins.dict"], n)
                            refs[k] = child
                            queue.append(child)
                        else:
                            refs[k] = -pick_hub() - _EXTERNAL_BIAS
                    continue
                kind = pick_slot()
                if kind == "child":
                    if len(ntype) < budget:
                        child = new_node(pick_kind(), n)
                        refs[k] = child
                        if ntype[child] not in self.leaf_types:
                            queue.append(child)
                        continue
                    kind = "hub"
                if kind == "hub":
                    refs[k] = -pick_hub() - _EXTERNAL_BIAS
                elif kind == "popular":
                    if self.popular_ids:
                        refs[k] = -self.popular_ids[int(uniform() * len(self.popular_ids))] - _EXTERNAL_BIAS
                    else:
                        refs[k] = -pick_hub() - _EXTERNAL_BIAS
                elif kind == "module":
                    refs[k] = -self.module_ids[int(uniform() * len(self.module_ids))] - _EXTERNAL_BIAS
                elif kind == "dangling":
                    if self.freed:
                        refs[k] = -self.freed[int(uniform() * len(self.freed))] - _EXTERNAL_BIAS
                        self.stats_dangling += 1
                    else:
                        refs[k] = -pick_hub() - _EXTERNAL_BIAS
                else:
                    refs[k] = kind

        count = len(ntype)
        # Post-order numbering.
        order = [0] * count
        position = 0
        for root in roots:
            stack = [(root, 0)]
            while stack:
                node, k = stack.pop()
                refs = nrefs[node]
                while k < len(refs) and not (refs[k] >= 0 and nparent[refs[k]] == node):
                    k += 1
                if k < len(refs):
                    stack.append((node, k + 1))
                    stack.append((refs[k], 0))
                else:
                    order[node] = position
                    position += 1
        by_position = [0] * count
        for node, pos in enumerate(order):
            by_position[pos] = node

        heap_id = self._heap_id
        ids = [0] * count
        for pos in range(count):
            ids[by_position[pos]] = heap_id(nsize[by_position[pos]])

        lines = []
        type_json = self.type_json
        root_id = ids[region_root]
        pick_back = self.pick_back
        for pos in range(count):
            node = by_position[pos]
            out = []
            for code in nrefs[node]:
                if code >= 0:
                    out.append(ids[code])
                elif code <= -_EXTERNAL_BIAS:
                    out.append(-code - _EXTERNAL_BIAS)
                elif code == _BACK:
                    back = pick_back()
                    out.append(ids[by_position[pos - back]] if back <= pos else pick_hub())
                elif code == _PARENT:
                    parent = nparent[node]
                    out.append(ids[parent] if parent >= 0 else pick_hub())
                elif code == _GRANDPARENT:
                    parent = nparent[node]
                    grand = nparent[parent] if parent >= 0 else -1
                    out.append(ids[grand] if grand >= 0 else (ids[parent] if parent >= 0 else pick_hub()))
                elif code == _REGION_ROOT:
                    out.append(root_id)
                elif code == _FORWARD:
                    # A nearby object allocated later, as with a sibling's back pointer.
                    ahead = min(count - 1, pos + pick_back())
                    out.append(ids[by_position[ahead]])
                else:  # _SELF
                    out.append(ids[node])
            self.stats_refs += len(out)
            lines.append('{"id":%d,"type":%s,"references":[%s],"value":%s,"size":%d}\n'
                         % (ids[node], type_json[ntype[node]], ",".join(map(str, out)),
                            nvalue[node], nsize[node]))

        if make_module:
            mod_id = heap_id(72)
            name = self.name_values[self.pick_name()][0]
            spec = ids[by_position[int(uniform() * count)]]
            lines.append('{"id":%d,"type":"builtins.module","references":[%d,%d],"value":%s,"size":72}\n'
                         % (mod_id, root_id, spec, name))
            self.stats_refs += 2
            self.module_ids.append(mod_id)
            if self.popular_regions < 8:
                # Widely imported modules: their classes get instances everywhere.
                self.popular_regions += 1
                self.popular_ids.extend(ids)
                self.app_types.extend(ids[n] for n in range(count) if ntype[n] == t["builtins.type"])
        self.emitted += len(lines)
        return lines

    def _chain_and_ring(self, budget: int) -> list[str]:
        """A chain of links, each with a small string, ending in a ring linked both ways."""
        link, node, text = (self._type_index(n) for n in ("app.Link", "app.RingNode", "builtins.str"))
        chain = budget // 4
        ring = max(budget - 2 * chain, 3)
        chain_ids = [self._heap_id(56) for _ in range(chain)]
        ring_ids = [self._heap_id(64) for _ in range(ring)]
        lines: list[str] = []

        def emit(tidx: int, oid: int, refs: list[int], value: str, size: int) -> None:
            self.stats_refs += len(refs)
            lines.append('{"id":%d,"type":%s,"references":[%s],"value":%s,"size":%d}\n'
                         % (oid, self.type_json[tidx], ",".join(map(str, refs)), value, size))

        for i, oid in enumerate(chain_ids):
            word = self.words[self.pick_name()]
            string_id = self._heap_id(49 + len(word))
            following = chain_ids[i + 1] if i + 1 < chain else ring_ids[0]
            emit(link, oid, [following, string_id], "null", 56)
            emit(text, string_id, [], _json_text(word), 49 + len(word))
        for i, oid in enumerate(ring_ids):
            refs = [ring_ids[(i + 1) % ring], ring_ids[i - 1]]
            if i == ring // 2 and self.module_ids:
                refs.append(self.module_ids[int(self.uniform() * len(self.module_ids))])
            emit(node, oid, refs, "null", 64)
        self.emitted += len(lines)
        return lines

    def chunks(self) -> Iterator[str]:
        pending = self._core()[: self.target]
        self.emitted = len(pending)
        size = sum(map(len, pending))
        rng = self.rng
        while self.emitted < self.target:
            remaining = self.target - self.emitted
            data_region = rng.random() < 0.12
            if data_region:
                budget = int(rng.lognormvariate(7.6, 1.0))
            else:
                budget = int(rng.lognormvariate(5.3, 0.8))
            budget = max(20, min(budget, 60000, remaining))
            if remaining - budget < 20:
                budget = remaining
            if remaining > 100_000 and rng.random() < 0.004:
                region = self._chain_and_ring(min(int(rng.lognormvariate(9.5, 0.8)), remaining // 2))
            else:
                region = self._region(budget, data_region)
            pending.extend(region)
            size += sum(map(len, region))
            if size >= _CHUNK_BYTES:
                yield "".join(pending)
                pending = []
                size = 0
        if pending:
            yield "".join(pending)


def _open_output(out, gzip_output: bool | None):
    if isinstance(out, (str, os.PathLike)):
        path = os.fspath(out)
        compress = path.endswith(".gz") if gzip_output is None else gzip_output
        raw = open(path, "wb")
        if compress:
            return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=1, mtime=0), raw
        return raw, None
    if gzip_output:
        return gzip.GzipFile(fileobj=out, mode="wb", compresslevel=1, mtime=0), None
    return out, None


def generate(out, objects: int, seed: int = 1, *, gzip_output: bool | None = None) -> DumpStats:
    """Write a synthetic dump of `objects` records; returns what was written."""
    gen = _Generator(objects, seed)
    stream, raw = _open_output(out, gzip_output)
    try:
        for chunk in gen.chunks():
            stream.write(chunk.encode("utf-8"))
    finally:
        if stream is not out:
            stream.close()
        if raw is not None:
            raw.close()
    return DumpStats(gen.emitted, gen.stats_refs, gen.stats_dangling, len(gen.module_ids))


def iter_lines(objects: int, seed: int = 1) -> Iterator[bytes]:
    """The records of `generate(..., objects, seed)`, one bytes line each."""
    for chunk in _Generator(objects, seed).chunks():
        yield from chunk.encode("utf-8").splitlines(keepends=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="output file (.gz compresses)")
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--gzip", action="store_true", help="gzip the output whatever its name")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    stats = generate(args.out, args.objects, args.seed, gzip_output=True if args.gzip else None)
    elapsed = time.perf_counter() - start
    print(f"wrote {stats.objects} objects, {stats.references} references "
          f"({stats.dangling_references} dangling), {stats.modules} modules "
          f"to {args.out} in {elapsed:.2f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
