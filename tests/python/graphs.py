"""Seeded random heap graphs and independent models of what the store computes.

Everything here is written from the rules of the system, not from its code:
reachability that never enters a "builtins.module" object and never follows a
reference to an id without a record, the size sketch register arithmetic, the
breadth-first path search and the best-first common-object search with its
max-heap. The differential tests compare the extension against these.
"""

from __future__ import annotations

import json
import math
import random
import struct
import sys
from collections import deque
from pathlib import Path

MODULE = "builtins.module"
ALL_TYPES = "All Types"
U64 = (1 << 64) - 1

# The benchmark peer doubles as a second, Tarjan-based exact oracle.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench" / "python"))

TYPE_NAMES = ["builtins.dict", "builtins.str", "builtins.tuple", "builtins.function",
              "app.Node", "caf\u00e9.\u7c7b", MODULE]


# -- graphs -----------------------------------------------------------------------

def random_ids(rng: random.Random, count: int, style: str) -> list[int]:
    """Distinct ids: "small", "cpython" (aligned addresses), "high" (near 2**64-1) or "mixed"."""
    ids: set[int] = set()
    while len(ids) < count:
        kind = style if style != "mixed" else rng.choice(("small", "cpython", "high"))
        if kind == "small":
            ids.add(rng.randrange(0, 4 * count + 300))
        elif kind == "cpython":
            ids.add(0x7F00_0000_0000 + 16 * rng.randrange(1 << 24))
        else:
            ids.add(U64 - rng.randrange(4 * count + 300))
    out = sorted(ids)
    rng.shuffle(out)
    return out


def random_graph(rng: random.Random, count: int, *, id_style: str = "mixed",
                 module_share: float = 0.08, dangling_share: float = 0.05,
                 max_degree: int = 6, sizes: tuple[int, ...] | None = None) -> list[dict]:
    """Records with cycles, self-loops, duplicate and dangling references and modules.

    `sizes`, when given, is the set of sizes to draw from (a small set makes
    many equal subtree sizes); otherwise sizes are 0 to 1000.
    """
    ids = random_ids(rng, count, id_style)
    missing = [i for i in random_ids(rng, count // 4 + 3, id_style) if i not in set(ids)]
    records = []
    for oid in ids:
        type_name = MODULE if rng.random() < module_share else rng.choice(TYPE_NAMES[:-1])
        refs: list[int] = []
        for _ in range(rng.randrange(max_degree + 1)):
            r = rng.random()
            if r < dangling_share and missing:
                refs.append(rng.choice(missing))
            elif r < dangling_share + 0.05:
                refs.append(oid)
            elif r < dangling_share + 0.10 and refs:
                refs.append(rng.choice(refs))
            else:
                refs.append(rng.choice(ids))
        record = {"id": oid, "type": type_name, "references": refs,
                  "size": rng.choice(sizes) if sizes else rng.randrange(1001)}
        if rng.random() < 0.3:
            record["value"] = rng.choice(["x", "say \"hi\"", "a\\b", "line\nfeed", "\u00e9t\u00e9", ""])
        records.append(record)
    return records


def encode_lines(records: list[dict]) -> list[bytes]:
    return [json.dumps(r, ensure_ascii=False).encode("utf-8") + b"\n" for r in records]


def latest_records(records) -> dict[int, dict]:
    """The records a store keeps: the last one per id."""
    latest: dict[int, dict] = {}
    for record in records:
        latest[record["id"]] = record
    return latest


def followable(latest: dict[int, dict], target: int) -> bool:
    record = latest.get(target)
    return record is not None and record["type"] != MODULE


# -- exact subtree sizes ---------------------------------------------------------------

def reachable(latest: dict[int, dict], start: int) -> set[int]:
    seen = {start}
    todo = [start]
    while todo:
        for target in latest[todo.pop()]["references"]:
            if target not in seen and followable(latest, target):
                seen.add(target)
                todo.append(target)
    return seen


def brute_force_subtree_sizes(latest: dict[int, dict]) -> dict[int, int]:
    """One breadth-first search per object; only for small graphs."""
    return {oid: sum(latest[x]["size"] for x in reachable(latest, oid)) & U64 for oid in latest}


# -- size sketch model -----------------------------------------------------------------

SKETCH_REGISTERS = {"Low": 7, "Medium": 31, "High": 127}
_MINUS_LN_4 = -1.3862943611198906
_TWO_TO_MINUS_64 = 2.0 ** -64


def _bits_of(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def bfloat16_of(x: float) -> int:
    """binary64 -> bfloat16 bits, rounding on the upper 32 bits of the encoding."""
    if math.isnan(x):
        return 0x7FC0
    hi = _bits_of(x) >> 32
    sign = hi >> 31
    if math.isinf(x):
        return (sign << 15) | 0x7F80
    exponent = (hi >> 20) & 0x7FF
    fraction = hi & 0xFFFFF
    if exponent == 0:
        return sign << 15
    biased = exponent - 1023 + 127
    if biased >= 255:
        return (sign << 15) | 0x7F80
    if biased <= 0:
        raise AssertionError(f"subnormal bfloat16 for {x!r}: not reachable with integer weights")
    top = fraction >> 13
    result = (sign << 15) | (biased << 7) | top
    if (fraction >> 12) & 1 and (fraction & 0xFFF or top & 1):
        result += 1
    return result


def bfloat16_value(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits << 16))[0]


def sketch_candidate(register: int, key: int, weight: int) -> int:
    import xxhash

    w = float(weight) * _MINUS_LN_4
    h = xxhash.xxh3_64_intdigest(struct.pack("<QQ", register, key))
    u = float(h) * _TWO_TO_MINUS_64
    if u == 0.0:
        c = 0.0  # w / -inf
    elif u == 1.0:
        c = math.nan if w == 0.0 else -math.inf  # w / 0.0
    else:
        c = w / math.log(u)
    return bfloat16_of(c)


def _usable(candidate: int) -> bool:
    # Registers start at +0.0 and take a candidate only when it is larger, so
    # negative and NaN candidates never count; among the remaining bfloat16
    # bit patterns integer order is numeric order.
    negative = candidate >> 15
    nan = (candidate & 0x7F80) == 0x7F80 and candidate & 0x7F
    return not negative and not nan


def sketch_vector(key: int, weight: int, registers: int) -> list[int]:
    """What one element contributes to each register (0 where it never raises one)."""
    out = []
    for i in range(registers):
        c = sketch_candidate(i, key, weight)
        out.append(c if _usable(c) else 0)
    return out


def sketch_registers(vectors, registers: int) -> list[int]:
    """Registers of a sketch of several elements: each register keeps its largest value."""
    return [max(column) for column in zip([0] * registers, *vectors)]


def sketch_estimate(regs: list[int]) -> int:
    value = bfloat16_value(sorted(regs)[len(regs) // 4])
    if math.isinf(value) or value >= 2.0 ** 64:
        return U64
    return int(value)


def tarjan_components(latest: dict[int, dict]) -> tuple[dict[int, int], list[list[int]]]:
    """Components numbered in finishing order, ids visited in ascending order and
    references in stored order (the numbering the store's traversal produces)."""
    index: dict[int, int] = {}
    low: dict[int, int] = {}
    stack: list[int] = []
    on_stack: set[int] = set()
    component: dict[int, int] = {}
    members: list[list[int]] = []

    def visit(v: int) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in latest[v]["references"]:
            if not followable(latest, w):
                continue
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component[w] = len(members)
                group.append(w)
                if w == v:
                    break
            members.append(group)

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * len(latest) + 100))
    try:
        for v in sorted(latest):
            if v not in index:
                visit(v)
    finally:
        sys.setrecursionlimit(limit)
    return component, members


def sketch_subtree_sizes(latest: dict[int, dict], registers: int) -> dict[int, int]:
    """Each object's estimate: the sketch of every component its component reaches."""
    component, members = tarjan_components(latest)
    vectors = [sketch_vector(c, sum(latest[v]["size"] for v in group) & U64, registers)
               for c, group in enumerate(members)]
    estimates = []
    for c, group in enumerate(members):
        seen = {c}
        todo = list(group)
        while todo:
            for w in latest[todo.pop()]["references"]:
                if followable(latest, w) and component[w] not in seen:
                    seen.add(component[w])
                    todo.extend(members[component[w]])
        estimates.append(sketch_estimate(sketch_registers((vectors[d] for d in seen), registers)))
    return {v: estimates[component[v]] for v in latest}


# -- store model over several imports ------------------------------------------------------

def key_bytes(key: str) -> bytes:
    return key.encode("utf-8")


def le_bytes(oid: int) -> bytes:
    return oid.to_bytes(8, "little")


class StoreModel:
    """What a store holds after a sequence of imports."""

    def __init__(self):
        self.latest: dict[int, dict] = {}
        self.subtree: dict[int, int | None] = {}
        self.type_rows: set[tuple[str, int]] = set()
        self.size_rows: set[tuple[str, int, int]] = set()
        self.subtree_rows: set[tuple[str, int, int]] = set()
        self.referrer_rows: set[tuple[int, int]] = set()

    def import_records(self, records: list[dict], sizes_of=None) -> None:
        """`sizes_of(latest)` gives the subtree sizes of the post-import step (None: no estimates)."""
        for record in records:
            oid = record["id"]
            self.latest[oid] = record
            self.subtree[oid] = record.get("subtree_size")
            self.referrer_rows.update((target, oid) for target in record["references"])
            # A type literally named "All Types" shares the all-types key.
            for key in (record["type"], ALL_TYPES):
                self.type_rows.add((key, oid))
                self.size_rows.add((key, record["size"], oid))
        if sizes_of is not None:
            computed = sizes_of(self.latest)
            for oid, record in self.latest.items():
                self.subtree[oid] = computed[oid]
                for key in (record["type"], ALL_TYPES):
                    self.subtree_rows.add((key, computed[oid], oid))

    def type_summaries(self) -> list[tuple[str, int, int]]:
        totals: dict[str, list[int]] = {}
        for key, size, _ in self.size_rows:
            entry = totals.setdefault(key, [0, 0])
            entry[0] += 1
            entry[1] = (entry[1] + size) & U64
        return [(key, count, total) for key, (count, total) in sorted(totals.items(), key=lambda kv: key_bytes(kv[0]))]

    def keys(self) -> set[str]:
        return {key for key, _ in self.type_rows}

    def ids_by_type(self, key: str) -> list[int]:
        return sorted((oid for k, oid in self.type_rows if k == key), key=le_bytes)

    def ids_by_size(self, key: str, subtree: bool) -> list[int]:
        rows = self.subtree_rows if subtree else self.size_rows
        return [oid for _, _, oid in sorted((r for r in rows if r[0] == key), key=lambda r: (-r[1], r[2]))]

    def referrers(self, oid: int) -> list[int]:
        return sorted((r for target, r in self.referrer_rows if target == oid), key=le_bytes)

    def first_missing_reference(self, oid: int) -> int | None:
        for target in self.latest[oid]["references"]:
            if target not in self.latest:
                return target
        return None


# -- queries ------------------------------------------------------------------------------

class QueryError(Exception):
    """The RuntimeError text the store is expected to raise."""


def expected_path(latest: dict[int, dict], subtree: dict[int, int | None], start: int, end: int,
                  avoiding: set[int]) -> list[int] | None:
    """Breadth-first search with the size cut-off, excluded set and avoided ids."""
    if start not in latest:
        raise QueryError(f"Start ID {start} not found in database")
    if end not in latest:
        raise QueryError(f"End ID {end} not found in database")
    end_size = subtree.get(end)
    parent: dict[int, int | None] = {start: None}
    excluded: set[int] = set()
    queue = deque([start])
    while queue:
        current = queue.popleft()
        size = subtree.get(current)
        if size is not None and end_size is not None and size < end_size:
            excluded.add(current)
            continue
        if current == end:
            path = [current]
            while parent[path[-1]] is not None:
                path.append(parent[path[-1]])
            return path[::-1]
        for target in latest[current]["references"]:
            if target in excluded or target in avoiding:
                continue
            record = latest.get(target)
            if record is None:
                raise QueryError(f"Decoding error: Missing record for ID {target}")
            if record["type"] == MODULE:
                excluded.add(target)
                continue
            if target not in parent:
                parent[target] = current
                queue.append(target)
    return None


class _Item:
    __slots__ = ("size", "oid", "references", "side")

    def __init__(self, size, oid, references, side):
        self.size, self.oid, self.references, self.side = size, oid, references, side


class MaxHeap:
    """Array binary max-heap on size alone: push sifts up while strictly larger;
    pop moves the last item to the root, sinks the hole to the bottom along the
    larger child (the right one on equality), then sifts up."""

    def __init__(self):
        self.data: list[_Item] = []

    def __len__(self):
        return len(self.data)

    def _sift_up(self, start: int, pos: int) -> None:
        data = self.data
        item = data[pos]
        while pos > start:
            parent = (pos - 1) // 2
            if item.size <= data[parent].size:
                break
            data[pos] = data[parent]
            pos = parent
        data[pos] = item

    def push(self, item: _Item) -> None:
        self.data.append(item)
        self._sift_up(0, len(self.data) - 1)

    def pop(self) -> _Item:
        data = self.data
        last = data.pop()
        if not data:
            return last
        top = data[0]
        data[0] = last
        end = len(data)
        pos = 0
        child = 1
        while child <= end - 2:
            if data[child].size <= data[child + 1].size:
                child += 1
            data[pos] = data[child]
            pos = child
            child = 2 * pos + 1
        if child == end - 1:
            data[pos] = data[child]
            pos = child
        data[pos] = last
        self._sift_up(0, pos)
        return top


def expected_common(latest: dict[int, dict], subtree: dict[int, int | None], first: int,
                    second: int) -> int | None:
    """Two best-first searches sharing one heap; the first object both take."""

    def item(oid: int, side: bool) -> _Item:
        record = latest.get(oid)
        if record is None:
            raise QueryError(f"Object ID {oid} not found in database")
        size = subtree.get(oid)
        if size is None:
            raise QueryError(f"No subtree size in {oid}")
        return _Item(size, oid, list(record["references"]), side)

    heap = MaxHeap()
    heap.push(item(first, False))
    heap.push(item(second, True))
    taken = (set(), set())
    while heap:
        current = heap.pop()
        own = taken[current.side]
        if current.oid in own:
            continue
        own.add(current.oid)
        if current.oid in taken[not current.side]:
            return current.oid
        for target in current.references:
            record = latest.get(target)
            if record is None:
                raise QueryError(f"Object ID {target} not found in database")
            if record["type"] == MODULE:
                continue
            heap.push(item(target, current.side))
    return None
