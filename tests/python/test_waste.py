"""`vesker waste` on a generated heap whose duplicates, empty, over-allocated and sparse
containers are known: it finds exactly those, and the savings the test computes itself."""

from __future__ import annotations

import json
import random

from test_cli import json_of, vesker_command

ORDERS = 300
NAMES = ["alpha", "beta", "gamma"]  # each order's name is its own copy of one of these


def _heap():
    """(records, what the test expects), the expectations kept beside the objects that cause them."""
    rng = random.Random(7)
    records = []
    ids = iter(range(1000, 10**9))
    expected = {"duplicates": {}, "empty": {}, "over-allocated": {}, "sparse": {}}

    def add(type_name, size, references=(), names=None, value=None):
        record = {"id": next(ids), "type": type_name, "references": list(references), "size": size}
        if names is not None:
            record["names"] = names
        if value is not None:
            record["value"] = value
        records.append(record)
        return record["id"]

    def expect(kind, key, count, saving):
        got = expected[kind].setdefault(key, [0, 0])
        got[0] += count
        got[1] += saving

    orders = []
    name_copies = {}
    for n in range(ORDERS):
        name = NAMES[n % len(NAMES)]
        name_id = add("builtins.str", 49 + len(name), value=name)
        name_copies[name] = name_copies.get(name, 0) + 1
        unique = add("builtins.str", 60, value=f"order-{n:06d}")  # one of a kind
        tags = add("builtins.list", 56)  # empty
        expect("empty", ("builtins.list", "Order.tags"), 1, 56)
        item_ids = [add("builtins.int", 28, value=str(i)) for i in range(2)]
        slack = rng.choice([0, 3, 40])  # spare slots; only 40 (> length and >= 8) is waste
        items = add("builtins.list", 56 + 8 * (2 + slack), item_ids, ["[0]", "[1]"])
        if slack == 40:
            expect("over-allocated", ("builtins.list", "Order.items"), 1, 8 * slack)
        key, value = add("builtins.str", 52, value="k"), add("builtins.int", 28, value="1")
        sparse = n % 10 == 0
        index = add("builtins.dict", 1200 if sparse else 232, [key, value], ["<key>", "['k']"])
        if sparse:
            expect("sparse", ("builtins.dict", "Order.index"), 1, 1200 - 232)
        orders.append(add("app.Order", 48, [name_id, unique, tags, items, index],
                          [".name", ".id", ".tags", ".items", ".index"]))
    expect("duplicates", ("builtins.str", "k"), ORDERS - 1, (ORDERS - 1) * 52)  # each index's own key
    for name, copies in name_copies.items():
        expect("duplicates", ("builtins.str", name), copies - 1, (copies - 1) * (49 + len(name)))
    # Long values are cut by the dumper: equal prefixes of different strings are not duplicates.
    long_ids = [add("builtins.str", 49 + 300, value="x" * 200) for _ in range(5)]
    blob_ids = [add("builtins.bytes", 33 + 4, value="b'\\x00\\x00\\x00\\x00'") for _ in range(4)]
    expect("duplicates", ("builtins.bytes", "b'\\x00\\x00\\x00\\x00'"), 3, 3 * 37)
    cache = add("builtins.dict", 64)  # an empty module-level dict
    expect("empty", ("builtins.dict", "__main__.CACHE"), 1, 64)
    everything = add("builtins.list", 56 + 8 * len(orders + long_ids + blob_ids), orders + long_ids + blob_ids)
    namespace = add("builtins.dict", 232, [everything, cache], ["['everything']", "['CACHE']"])
    add("builtins.module", 72, [namespace], [".__dict__"], value="__main__")
    return records, expected


def test_waste_finds_exactly_the_planted_waste(tmp_path):
    records, expected = _heap()
    dump = tmp_path / "heap.jsonl"
    dump.write_text("".join(json.dumps(r) + "\n" for r in records))
    store = str(tmp_path / "store")
    imported = vesker_command("import", str(dump), store, "-q")
    assert imported.returncode == 0, imported.stderr
    found = json_of("waste", store, "--limit", "100")

    duplicates = {(g["type"], g["value"]): [g["copies"] - 1, g["saving"]] for g in found["duplicates"]}
    assert duplicates == expected["duplicates"]
    holders = {g["value"]: g["holders"] for g in found["duplicates"]}
    assert holders["alpha"] == [{"label": "Order.name", "count": ORDERS // 3}]
    for kind in ("empty", "over-allocated", "sparse"):
        groups = {(g["type"], g["holder"]): [g["count"], g["saving"]]
                  for g in found["containers"] if g["kind"] == kind}
        assert groups == expected[kind], kind
        assert found["totals"][kind]["saving"] == sum(saving for _, saving in expected[kind].values())
    assert found["totals"]["duplicates"]["saving"] == sum(s for _, s in expected["duplicates"].values())

    text = vesker_command("waste", store).stdout
    assert f"Order.tags: {ORDERS:,} empty lists, {ORDERS * 56 / 1024:.1f} KiB" in text
