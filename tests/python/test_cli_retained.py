"""`vesker import`, `top --by retained`, `tree` and `why` end to end on a small named dump."""

from __future__ import annotations

import json

from test_cli import json_of, vesker_command

# __main__.cache -> dict['k'] -> Order.items -> list[3] -> the payload; a second Order shares
# nothing, and a cycle that nothing refers to.
RECORDS = [
    {"id": 1, "type": "builtins.module", "value": "__main__", "references": [2], "size": 100, "names": [".cache"]},
    {"id": 2, "type": "builtins.dict", "references": [3, 7], "size": 50, "names": ["['k']", "['j']"]},
    {"id": 3, "type": "app.Order", "references": [4], "size": 20, "names": [".items"]},
    {"id": 4, "type": "builtins.list", "references": [9, 9, 9, 5], "size": 30, "names": [None, None, None, "[3]"]},
    {"id": 5, "type": "builtins.bytes", "references": [], "size": 5000},
    {"id": 7, "type": "app.Order", "references": [], "size": 20},
    {"id": 9, "type": "builtins.int", "references": [], "size": 28},
    {"id": 10, "type": "Cycle", "references": [11], "size": 1},
    {"id": 11, "type": "Cycle", "references": [10], "size": 2},
]


def test_retained_sizes_from_import_to_why(tmp_path):
    dump = tmp_path / "heap.jsonl"
    dump.write_text("".join(json.dumps(r) + "\n" for r in RECORDS))
    store = str(tmp_path / "store")
    imported = vesker_command("import", str(dump), store, "-q")
    assert imported.returncode == 0, imported.stderr
    assert "2 objects are unreachable" in imported.stderr

    top = json_of("top", store, "--limit", "3")  # retained is the default order once computed
    assert top["by"] == "retained"
    assert [(o["id"], o["retained"]) for o in top["objects"]] == [(1, 5248), (2, 5148), (3, 5078)]
    assert top["precision"] == "exact" and "subtree sizes are exact" in vesker_command("top", store).stdout

    shown = json_of("show", store, "2")
    assert shown["retained"] == 5148
    assert [(r["id"], r["retained"]) for r in shown["references"]] == [(3, 5078), (7, 20)]
    assert "RETAINED" in vesker_command("show", store, "2").stdout

    tree = json_of("tree", store, "2")
    assert [(r["type"], r["count"], r["retained"]) for r in tree["children"]] == [("app.Order", 2, 5098)]
    expanded = json_of("tree", store, "2", "--expand", "app.Order")
    assert [(r["id"], r["retained"]) for r in expanded["children"]] == [(3, 5078), (7, 20)]
    roots = json_of("tree", store)["children"]
    assert sum(r["retained"] for r in roots) == sum(r["size"] for r in RECORDS)

    why = vesker_command("why", store, "5")
    assert why.returncode == 0, why.stderr
    assert "__main__.cache -> dict['k'] -> Order.items -> list[3]" in why.stdout
    answer = json_of("why", store, "5")
    assert [r["id"] for r in answer["dominators"]] == [1, 2, 3, 4, 5]
    assert json_of("why", store, "11")["path"][0]["unreachable"]

    types = json_of("types", store)["types"]
    assert {t["type"]: t["retained"] for t in types}["app.Order"] == 5098

    plain = vesker_command("import", str(dump), str(tmp_path / "plain"), "-q", "--no-retained")
    assert plain.returncode == 0
    assert json_of("top", str(tmp_path / "plain"))["by"] == "subtree"
    assert "retained" not in json_of("show", str(tmp_path / "plain"), "2")
    refused = vesker_command("why", str(tmp_path / "plain"), "5")
    assert refused.returncode == 1 and "has no retained sizes" in refused.stderr


def test_import_reports_its_phases_and_with_profile_their_parts(tmp_path):
    dump = tmp_path / "heap.jsonl"
    dump.write_text("".join(json.dumps(r) + "\n" for r in RECORDS))
    quiet = vesker_command("import", str(dump), str(tmp_path / "quiet"), "-q")
    summary = next(line for line in quiet.stderr.splitlines() if line.startswith("phases: "))
    assert [part.split(" ")[0] for part in summary[len("phases: "):].split(", ")] == [
        "import", "subtree", "names", "retained"]
    assert "where the time went" not in quiet.stderr

    profiled = vesker_command("import", str(dump), str(tmp_path / "profiled"), "-q", "--profile")
    assert profiled.returncode == 0, profiled.stderr
    rows = profiled.stderr[profiled.stderr.index("where the time went"):].splitlines()
    parts = [row.strip().split("  ")[0] for row in rows[3:]]
    for part in ("import", "reading and decoding lines", "committing", "subtree sizes", "components and sizes",
                 "rewriting records", "putting the size index", "names", "retained sizes",
                 "dominators and retained sizes"):
        assert part in parts, (part, rows)
