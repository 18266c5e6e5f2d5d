"""Every --json output and every API response that lists edges or holders carries the names the
dump gives, and objects without a value come with what they are."""

from __future__ import annotations

import json
import warnings

import pytest

from test_cli import json_of, vesker_command

pytest.importorskip("starlette")
pytest.importorskip("httpx")
with warnings.catch_warnings():  # newer releases would rather have httpx's successor
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from vesker.server.app import create_app  # noqa: E402
from vesker.server.queries import StoreQueries  # noqa: E402

# __main__.cache -> Cache.items -> list[i] -> Order.tags -> an empty list; the list grows from
# one dump to the next.
COUNTS = (20, 40, 60)
IDENTITY = '[{"pid": 41, "host": "h", "python": "3.14", "started": 7}]'


def _records(orders: int) -> list[dict]:
    records = [
        {"id": 1, "type": "builtins.module", "value": "__main__", "references": [2], "size": 72,
         "names": [".__dict__"]},
        {"id": 2, "type": "builtins.dict", "references": [3], "size": 232, "names": ["['cache']"]},
        {"id": 3, "type": "app.Cache", "references": [4], "size": 48, "names": [".items"]},
    ]
    order_ids = [100 + 2 * n for n in range(orders)]
    records.append({"id": 4, "type": "builtins.list", "references": order_ids, "size": 56 + 8 * orders,
                    "names": [f"[{n}]" for n in range(orders)]})
    for order in order_ids:
        records.append({"id": order, "type": "app.Order", "references": [order + 1], "size": 48, "names": [".tags"]})
        records.append({"id": order + 1, "type": "builtins.list", "references": [], "size": 500})
    return records


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    directory = tmp_path_factory.mktemp("named")
    paths = []
    for step, orders in enumerate(COUNTS):
        dump = directory / f"dump-{step}.jsonl"
        dump.write_text("".join(json.dumps(r) + "\n" for r in _records(orders)))
        store = str(directory / f"store-{step}")
        assert vesker_command("import", str(dump), store, "-q").returncode == 0
        paths.append(store)
    return paths


def test_every_json_output_names_edges_and_objects(stores):
    old, _, store = stores
    shown = json_of("show", store, "4")
    assert shown["label"] == "Cache.items"
    assert [r["name"] for r in shown["referrers"]] == [".items"]
    assert {r["name"] for r in shown["references"]} == {f"[{n}]" for n in range(25)}  # one page
    assert json_of("show", store, "2")["label"] == "`__main__`'s namespace"

    path = json_of("path", store, "1", "101")
    assert [r["name"] for r in path] == [None, ".__dict__", "['cache']", ".items", "[0]", ".tags"]
    assert [r["label"] for r in path][2:4] == ["__main__.cache", "Cache.items"]
    assert all(r["retained"] is not None for r in path)
    assert json_of("common", store, "3", "4")["label"] == "Cache.items"

    why = json_of("why", store, "101")
    assert [r["name"] for r in why["path"]] == [None, ".__dict__", "['cache']", ".items", "[0]", ".tags"]
    assert json_of("top", store, "--limit", "3")["objects"][0]["label"] == "`__main__`'s namespace" or \
        json_of("top", store, "--limit", "3")["objects"][1]["label"] == "`__main__`'s namespace"
    tree = json_of("tree", store, "3")
    assert tree["children"][0]["label"] == "Cache.items"

    growth = json_of("growth", *stores, "--same-process")
    assert {o["id"]: o["label"] for o in growth["objects"]}[4] == "Cache.items"
    diff = json_of("diff", old, store, "--same-process")
    assert diff["holder_labels"] == {"4": "Cache.items"}
    suspects = json_of("suspects", store)["suspects"]
    assert suspects[0]["label"] == "__main__.cache.items"
    assert [r["name"] for r in suspects[0]["path"]] == [None, ".__dict__", "['cache']", ".items"]


def test_every_api_response_names_edges_and_holders(stores):
    old, _, store = stores
    from vesker import engine

    for path in stores:
        with engine.Store(path) as opened:
            opened.set_metadata("dumps", IDENTITY)
    before, after = StoreQueries(old), StoreQueries(store)
    try:
        client = TestClient(create_app(after, before), base_url="http://127.0.0.1")

        def get(url):
            response = client.get(url)
            assert response.status_code == 200, response.text
            return response.json()

        assert [r["name"] for r in get("/api/object/4/referrers")["rows"]] == [".items"]
        references = get("/api/object/4/references?sort=id&limit=10")["rows"]
        assert [r["name"] for r in references] == [f"[{n}]" for n in range(10)]
        assert get("/api/object/3/references")["rows"][0]["label"] == "Cache.items"
        rows = get("/api/path?from=1&to=101")["rows"]
        assert [r.get("name") for r in rows] == [None, ".__dict__", "['cache']", ".items", "[0]", ".tags"]
        second_page = get("/api/path?from=1&to=101&offset=3&limit=2")["rows"]
        assert [r["name"] for r in second_page] == [".items", "[0]"]
        assert get("/api/common?a=3&b=4")["object"]["label"] == "Cache.items"
        assert [r.get("name") for r in get("/api/object/101/why/path")["rows"]][-1] == ".tags"
        # Listings of objects say what an object without a value is.
        assert "Cache.items" in {r.get("label") for r in get("/api/objects?type=builtins.list")["rows"]}
        assert get("/api/tree?id=3")["rows"][0]["label"] == "Cache.items"
        assert get("/api/overview")["top_retainers"][1]["label"] == "`__main__`'s namespace"
        held = get("/api/compare/held")["rows"]
        assert held[0]["largest_holder"] == "4" and held[0]["largest_holder_label"] == "Cache.items"
        suspects = get("/api/overview")["suspects"]["suspects"]
        assert suspects[0]["label"] == "__main__.cache.items"
        assert [r.get("name") for r in suspects[0]["path"]] == [None, ".__dict__", "['cache']", ".items"]
    finally:
        before.close()
        after.close()
