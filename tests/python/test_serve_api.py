"""The browser view's JSON API: windows of the store's orders, its errors, and what it serves."""

from __future__ import annotations

import gc
import random
import warnings

import pytest

import vesker_analysis
from vesker import engine
from graphs import ALL_TYPES, encode_lines, latest_records, random_graph
from records import line

pytest.importorskip("starlette")
pytest.importorskip("httpx")
with warnings.catch_warnings():  # newer releases would rather have httpx's successor
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from vesker.server.app import create_app  # noqa: E402
from vesker.server.queries import MAX_LIMIT, StoreQueries  # noqa: E402

OBJECTS = 2500  # more than two of the store's pages of 1000 rows
BIG_VALUE = "\u00e9" * 3_000_000


def build_store(directory, lines, precision, retained=False):
    explorer = vesker_analysis.HeapDumpExplorer(str(directory))
    explorer.import_lines(lines, precision)
    if retained:
        with engine.Store(directory) as store:
            store.compute_retained()
    del explorer
    gc.collect()


@pytest.fixture(scope="module")
def graph():
    return random_graph(random.Random(15), OBJECTS, id_style="mixed", dangling_share=0.0,
                        sizes=(16, 32, 48, 64, 1000))


@pytest.fixture(scope="module")
def served(tmp_path_factory, graph):
    directory = tmp_path_factory.mktemp("served")
    extra = [line(7, "big.Text", size=3_000_049, value=BIG_VALUE)]
    build_store(directory, encode_lines(graph) + extra, vesker_analysis.EstimatorPrecision.Exact, retained=True)
    queries = StoreQueries(str(directory))
    with TestClient(create_app(queries), base_url="http://127.0.0.1") as client:
        yield queries, client
    queries.close()


@pytest.fixture
def client(served):
    return served[1]


@pytest.fixture
def explorer(served):
    return served[0].explorer


def get(client, url, status=200):
    response = client.get(url)
    assert response.status_code == status, response.text
    assert len(response.content) < 1_000_000
    return response.json()


def every_row(client, url):
    rows, offset = [], 0
    while True:
        page = get(client, f"{url}&offset={offset}&limit={MAX_LIMIT}")
        rows += page["rows"]
        offset += MAX_LIMIT
        if offset >= page["total"]:
            return rows, page


def test_listings_are_windows_of_the_store_order_read_either_way(client, explorer, graph):
    rng = random.Random(3)
    typename = "builtins.dict"
    for name in (ALL_TYPES, typename):
        for by in ("size", "subtree", "id"):
            if by == "id":
                stored = explorer.get_objects_by_type(name, None)
            else:
                stored = explorer.get_objects_by_type_ordered_by_size(name, by == "subtree", None)
            expected = [str(row.id) for row in stored]
            natural = "asc" if by == "id" else "desc"
            reverse = "desc" if by == "id" else "asc"
            url = f"/api/objects?type={name.replace(' ', '%20')}&by={by}"
            rows, page = every_row(client, f"{url}&order={natural}")
            assert [row["id"] for row in rows] == expected
            assert page["total"] == len(expected)
            backwards, _ = every_row(client, f"{url}&order={reverse}")
            assert [row["id"] for row in backwards] == expected[::-1]
            for _ in range(5):
                offset, limit = rng.randrange(len(expected) + 5), rng.randrange(1, MAX_LIMIT + 1)
                window = get(client, f"{url}&order={reverse}&offset={offset}&limit={limit}")
                assert [row["id"] for row in window["rows"]] == expected[::-1][offset : offset + limit]
    latest = latest_records(graph)
    dicts = sum(1 for record in latest.values() if record["type"] == typename)
    assert get(client, f"/api/objects?type={typename}")["total"] == dicts


def test_types_sort_filter_and_page_like_the_type_summaries(client, graph):
    latest = latest_records(graph)
    counts: dict[str, list[int]] = {}
    for record in latest.values():
        entry = counts.setdefault(record["type"], [0, 0])
        entry[0] += 1
        entry[1] += record["size"]
    counts["big.Text"] = [1, 3_000_049]
    keys = {"count": lambda name: counts[name][0], "size": lambda name: counts[name][1], "name": lambda name: name}
    for sort, key in keys.items():
        for order in ("asc", "desc"):
            answer = get(client, f"/api/types?sort={sort}&order={order}&limit=2&offset=1")
            names = sorted(counts)
            names.sort(key=key, reverse=order == "desc")
            assert [row["type"] for row in answer["rows"]] == names[1:3]
            assert answer["total"] == len(counts)
    filtered = get(client, "/api/types?filter=CAF%C3%89")
    assert [(row["type"], row["count"]) for row in filtered["rows"]] == [("caf\u00e9.\u7c7b", counts["caf\u00e9.\u7c7b"][0])]
    overview = get(client, "/api/overview")
    assert overview["objects"] == len(latest) + 1
    assert overview["total_size"] == sum(size for _, size in counts.values())
    assert overview["largest_types"][0]["type"] == "big.Text"
    assert overview["top_order"] == "subtree" and len(overview["top_objects"]) == 10


def test_edges_are_sorted_filtered_and_paged_from_the_whole_record(client, explorer, graph):
    busiest = max(latest_records(graph).values(), key=lambda record: len(record["references"]))
    record = explorer.get_object(busiest["id"])
    target = max(record.references, key=lambda row: len(explorer.get_object(row.id).referrers)).id
    for object_id in (busiest["id"], target):
        full = explorer.get_object(object_id)
        shown = get(client, f"/api/object/{object_id}")
        assert (shown["reference_count"], shown["referrer_count"]) == (len(full.references), len(full.referrers))
        for direction in ("references", "referrers"):
            stored = getattr(full, direction)
            for sort, key in (("size", lambda row: row.size), ("type", lambda row: row.type),
                              ("subtree", lambda row: row.subtree_size)):
                rows, page = every_row(client, f"/api/object/{object_id}/{direction}?sort={sort}&order=desc")
                assert sorted(row["id"] for row in rows) == sorted(str(row.id) for row in stored)
                values = [key(row) for row in sorted(stored, key=key, reverse=True)]
                assert [{"size": row["size"], "type": row["type"], "subtree": row["subtree_size"]}[sort]
                        for row in rows] == values
            kind = stored[0].type if stored else "builtins.str"
            only = get(client, f"/api/object/{object_id}/{direction}?type={kind}&limit=500")
            assert only["total"] == sum(1 for row in stored if row.type == kind)
            assert {row["type"] for row in only["rows"]} <= {kind}


def test_retained_views_page_the_engine_answers_and_add_up(served):
    queries, client = served
    store = queries.analyses
    overview = get(client, "/api/overview")
    assert overview["retained"] == "fresh"
    assert [row["id"] for row in overview["top_retainers"]] == [str(row.id) for row in store.top_retained(limit=10)]
    for name in (ALL_TYPES, "builtins.dict"):
        expected = [str(row.id) for row in store.top_retained(name, 0, 10_000)]
        url = f"/api/objects?type={name.replace(' ', '%20')}&by=retained"
        assert [row["id"] for row in every_row(client, url + "&order=desc")[0]] == expected
        window = get(client, url + "&order=asc&offset=7&limit=30")
        assert [row["id"] for row in window["rows"]] == expected[::-1][7:37]
    totals = store.type_retained()
    ranked = get(client, "/api/types?sort=retained&limit=500")["rows"]
    assert [row["retained"] for row in ranked] == sorted((totals.get(row["type"], 0) for row in ranked), reverse=True)

    # The root's children, merged by type, hold the whole heap; one merged row expands.
    root = get(client, f"/api/tree?limit={500}")
    assert not root["more"] and sum(row["retained"] for row in root["rows"]) == overview["total_size"]
    merged = next(row for row in root["rows"] if row["id"] is None)
    expanded = get(client, f"/api/tree?limit=500&expand={merged['type']}")["rows"]
    members = [row for row in expanded if row["type"] == merged["type"]]
    assert len(members) == merged["count"] and sum(row["retained"] for row in members) == merged["retained"]
    assert get(client, "/api/tree?limit=1")["more"]

    deep = max(queries.types, key=lambda row: row.count).name
    target = store.top_retained(deep, 0, 1)[0].id
    answer = store.why(target)
    below = get(client, f"/api/tree?id={target}")
    assert below["node"]["retained"]["retained"] == store.retained(target).retained
    assert [row["id"] for row in below["chain"]] == [str(row.id) for row in answer.dominators][-50:]
    for which in ("dominators", "path"):
        rows, _ = every_row(client, f"/api/object/{target}/why/{which}?x=1")
        assert [row["id"] for row in rows] == [str(row.id) for row in getattr(answer, which)]
    facts = get(client, f"/api/object/{target}")["retained"]
    idom = store.retained(target).idom
    assert facts["idom"] == (None if idom is None else str(idom))


def test_searches_answer_like_the_explorer(client, explorer, graph):
    ids = [record["id"] for record in graph]
    rng = random.Random(9)
    found_one = False
    for _ in range(20):
        start, end = rng.choice(ids), rng.choice(ids)
        path = explorer.find_path_between_objects(start, end, frozenset())
        answer = get(client, f"/api/path?from={start}&to={end}")
        assert answer["found"] == (path is not None)
        assert [row["id"] for row in answer["rows"]] == [str(row.id) for row in path or []]
        found_one |= path is not None and len(path) > 2
        if path is not None and len(path) > 2:
            avoid = path[1].id
            detour = explorer.find_path_between_objects(start, end, frozenset({avoid}))
            answer = get(client, f"/api/path?from={start}&to={hex(end)}&avoid={avoid},")
            assert [row["id"] for row in answer["rows"]] == [str(row.id) for row in detour or []]
        common = explorer.find_largest_common_reachable_object(start, end)
        answer = get(client, f"/api/common?a={start}&b={end}")
        assert (answer["object"] or {}).get("id") == (None if common is None else str(common))
    assert found_one


def test_values_are_clipped_so_that_every_response_stays_small(client):
    shown = get(client, "/api/object/7")
    assert shown["value_length"] == len(BIG_VALUE) and len(shown["value"]) == 20_000
    listed = get(client, f"/api/objects?type=big.Text")["rows"][0]
    assert listed["value_length"] == len(BIG_VALUE) and len(listed["value"]) == 120


@pytest.mark.parametrize("url, status, message", [
    ("/api/object/12345678", 404, "no object with id 12345678"),
    ("/api/object/0x10", 404, "no object with id 16"),
    ("/api/object/abc", 400, "not a number"),
    (f"/api/object/{1 << 64}", 400, "out of range"),
    ("/api/object/7/children", 404, "not 'children'"),
    ("/api/objects?type=no.Such", 404, "no objects of type 'no.Such'"),
    ("/api/objects", 400, "'type' is required"),
    ("/api/objects?type=builtins.str&by=weight", 400, "by must be one of"),
    ("/api/objects?type=builtins.str&order=up", 400, "order must be one of"),
    ("/api/types?limit=0", 400, "limit must be between 1 and 500"),
    (f"/api/types?limit={MAX_LIMIT + 1}", 400, "limit must be between"),
    ("/api/types?offset=-1", 400, "offset must be between"),
    ("/api/types?offset=ten", 400, "offset must be a whole number"),
    (f"/api/object/7/referrers?offset={1 << 63}", 400, "offset must be between 0 and 9007199254740991"),
    (f"/api/objects?type=big.Text&by=retained&offset={1 << 64}", 400, "offset must be between"),
    (f"/api/object/7/why/path?offset={1 << 53}", 400, "offset must be between"),
    ("/api/types?sort=colour", 400, "sort must be one of"),
    ("/api/path?from=7", 400, "'to' is required"),
    ("/api/path?from=7&to=8", 404, "no object with id 8"),
    ("/api/path?from=7&to=7&avoid=x", 400, "avoided id is not a number"),
    ("/api/common?a=7&b=-1", 400, "second id is out of range"),
    ("/api/nothing/here", 404, "nothing at /api/nothing/here"),
    ("/api/tree?id=12345678", 404, "no object with id 12345678"),
    ("/api/tree?limit=501", 400, "limit must be between 1 and 500"),
    ("/api/object/7/why/reasons", 404, "not 'reasons'"),
    ("/api/sites?group=module", 400, "group must be one of"),
    ("/api/sites", 404, "recorded no allocation sites"),
])
def test_bad_requests_get_json_errors(client, url, status, message):
    error = get(client, url, status)["error"]
    assert error["status"] == status and message in error["message"]


def test_past_the_end_is_an_empty_page_not_an_error(client):
    answer = get(client, "/api/objects?type=big.Text&offset=5&order=asc")
    assert answer["total"] == 1 and answer["rows"] == []
    assert get(client, "/api/types?offset=100000")["rows"] == []


def test_only_the_static_folder_is_served_and_only_to_local_names(client):
    page = client.get("/")
    assert page.status_code == 200 and "app.js" in page.text
    assert "script-src 'self'" in page.headers["content-security-policy"]
    script = client.get("/static/vendor/d3.min.js")
    assert script.status_code == 200 and "javascript" in script.headers["content-type"]
    assert client.get("/static/vendor/d3.min.js", headers={"if-none-match": script.headers["etag"]}).status_code == 304
    for attempt in ("/static/../queries.py", "/static/%2e%2e/queries.py", "/static/..%2fqueries.py",
                    "/static/%2e%2e/%2e%2e/__init__.py", "/static//etc/passwd", "/static/vendor/../../app.py"):
        response = client.get(attempt)
        assert response.status_code == 404, attempt
        assert "def " not in response.text and response.headers["content-type"].startswith("text/html")
    assert client.post("/api/overview").status_code == 405
    foreign = client.get("/api/overview", headers={"host": "attacker.example"})
    assert foreign.status_code == 400


def test_a_failing_store_gives_a_server_error(served, monkeypatch):
    queries, client = served

    def broken(*args):
        raise RuntimeError("MDB_CORRUPTED: located page was wrong type")

    monkeypatch.setattr(queries.heap, "_explorer", type("Broken", (), {"get_objects_by_type": broken})())
    error = get(client, "/api/objects?type=builtins.str&by=id", 500)["error"]
    assert "MDB_CORRUPTED" in error["message"]


def test_a_store_without_subtree_sizes_orders_by_size(tmp_path):
    build_store(tmp_path, [line(1, size=10), line(2, size=20, references=[1])],
                vesker_analysis.EstimatorPrecision.NoEstimates)
    queries = StoreQueries(str(tmp_path))
    try:
        client = TestClient(create_app(queries), base_url="http://127.0.0.1")
        overview = get(client, "/api/overview")
        assert not overview["has_subtree_sizes"] and overview["top_order"] == "size"
        assert [row["id"] for row in get(client, "/api/objects?type=T")["rows"]] == ["2", "1"]
        assert "no subtree sizes" in get(client, "/api/objects?type=T&by=subtree", 400)["error"]["message"]
        assert overview["retained"] == "missing" and "top_retainers" not in overview
        for url in ("/api/tree", "/api/object/1/why/path", "/api/objects?type=T&by=retained"):
            assert "vesker retained" in get(client, url, 404)["error"]["message"]
    finally:
        queries.close()


def test_the_baseline_comparison_merges_both_type_tables(tmp_path):
    old, new = tmp_path / "old", tmp_path / "new"
    old.mkdir()
    new.mkdir()
    build_store(old, [line(1, "app.Cache", size=100), line(2, "app.Gone", size=5), line(3, "app.Item", size=10)],
                vesker_analysis.EstimatorPrecision.Exact)
    build_store(new, [line(1, "app.Cache", size=100, references=[4, 5, 6]), line(4, "app.Item", size=10),
                      line(5, "app.Item", size=10), line(6, "app.Item", size=3000)],
                vesker_analysis.EstimatorPrecision.Exact)
    identity = '[{"pid": 41, "host": "h", "python": "3.14", "started": 7}]'
    for directory in (old, new):
        with engine.Store(directory) as store:
            store.set_metadata("dumps", identity)
    before, after = StoreQueries(str(old)), StoreQueries(str(new))
    try:
        client = TestClient(create_app(after, before), base_url="http://127.0.0.1")
        assert get(client, "/api/overview")["baseline"]["objects"] == [3, 4]
        answer = get(client, "/api/compare/types")
        assert answer["same_process"]
        assert [(row["type"], row["count"], row["total_size"]) for row in answer["rows"]] == [
            ("app.Item", [1, 3], [10, 3020]), ("app.Cache", [1, 1], [100, 100]), ("app.Gone", [1, 0], [5, 0])]
        # Object by object: ids 4 to 6 are new, id 3 went; the Cache that existed holds the new items.
        items = answer["rows"][0]
        assert items["added"] == {"count": 3, "size": 3020} and items["removed"] == {"count": 1, "size": 10}
        held = get(client, "/api/compare/held")["rows"]
        assert [(group["type"], group["holder_type"], group["largest_holder"], group["count"]) for group in held] == [
            ("app.Item", "app.Cache", "1", 3)]
        assert [row["type"] for row in get(client, "/api/compare/types?sort=added&limit=1")["rows"]] == ["app.Item"]
        by_count = get(client, "/api/compare/types?sort=count&order=asc&limit=1")
        assert [row["type"] for row in by_count["rows"]] == ["app.Gone"] and by_count["total"] == 3
        assert get(client, "/api/compare/types?filter=gone")["total"] == 1
        alone = TestClient(create_app(after), base_url="http://127.0.0.1")
        assert "--baseline" in get(alone, "/api/compare/types", 404)["error"]["message"]
    finally:
        before.close()
        after.close()


def test_the_command_refuses_what_it_cannot_serve(served, tmp_path):
    import os
    import pathlib
    import socket
    import subprocess
    import sys

    import vesker

    def serve(*arguments):
        env = dict(os.environ, PYTHONPATH=str(pathlib.Path(vesker.__file__).parent.parent))
        return subprocess.run([sys.executable, "-m", "vesker", "serve", *arguments, "--no-browser"],
                              capture_output=True, text=True, env=env, timeout=60)

    missing = serve(str(tmp_path / "nowhere"))
    assert missing.returncode == 1 and "does not exist" in missing.stderr
    store = served[0].path
    itself = serve(store, "--baseline", store)
    assert itself.returncode == 1 and "the baseline is the store itself" in itself.stderr
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = serve(store, "--port", str(taken.getsockname()[1]))
    assert busy.returncode == 1 and "cannot listen on 127.0.0.1 port" in busy.stderr
    assert serve(store, "--port", "70000").returncode == 2


def test_references_without_a_record_are_marked_not_fatal(tmp_path):
    build_store(tmp_path, [line(1, "app.Holder", references=[2, 999], size=10), line(2, "app.Item", size=20)],
                vesker_analysis.EstimatorPrecision.Low)
    with engine.Store(tmp_path) as store:
        store.set_metadata("precision", "low")
        store.set_metadata("dangling_references", "1")
    queries = StoreQueries(str(tmp_path))
    try:
        client = TestClient(create_app(queries), base_url="http://127.0.0.1")
        overview = get(client, "/api/overview")
        assert (overview["precision"], overview["estimated"], overview["dangling_references"]) == ("low", True, 1)
        rows = get(client, "/api/object/1/references?sort=size")["rows"]
        assert [(row["id"], row.get("state")) for row in rows] == [("2", None), ("999", "missing")]
        assert [row["id"] for row in get(client, "/api/path?from=1&to=2")["rows"]] == ["1", "2"]
        assert "no object with id 999" in get(client, "/api/path?from=1&to=999", 404)["error"]["message"]
    finally:
        queries.close()


def test_edge_pages_are_windows_of_the_whole_sorted_lists(tmp_path):
    # The whole tolerant record sorted as the view orders it is the reference: by id, then
    # stably by the key, rows without a record as the smallest.
    rng = random.Random(21)
    records = random_graph(rng, 400, id_style="mixed", dangling_share=0.1, sizes=(16, 32, 48))
    hub = records[0]["id"]
    for record in records[1:]:
        record["references"].append(hub)
    records[1]["references"] += [hub, records[2]["id"], records[2]["id"]]
    build_store(tmp_path, encode_lines(records), vesker_analysis.EstimatorPrecision.Low)
    keys = {"size": lambda s: -1 if s.size is None else s.size,
            "subtree": lambda s: -1 if s.subtree_size is None else s.subtree_size,
            "id": lambda s: s.id, "type": lambda s: s.type or ""}
    with engine.Store(tmp_path) as store:
        for object_id in (hub, records[1]["id"], records[5]["id"]):
            whole = store.get_object_tolerant(object_id)
            for direction in ("references", "referrers"):
                kinds = sorted({row.type for row in getattr(whole, direction) if row.type})
                for sort, key in keys.items():
                    for descending in (False, True):
                        for type_filter in ("", *kinds[:1]):
                            rows = getattr(whole, direction)
                            if type_filter:
                                rows = [row for row in rows if row.type == type_filter]
                            rows = sorted(rows, key=keys["id"])
                            rows.sort(key=key, reverse=descending)
                            for offset, limit in ((0, 0), (0, 7), (3, 50), (len(rows) - 2, 5), (len(rows), 3),
                                                  (rng.randrange(len(rows) + 1), rng.randrange(1, 60))):
                                page = store.edge_page(object_id, direction, sort, descending, type_filter,
                                                       max(offset, 0), limit)
                                assert page.total == len(rows)
                                assert page.rows == rows[max(offset, 0) : max(offset, 0) + limit], \
                                    (object_id, direction, sort, descending, type_filter, offset, limit)
            page = store.edge_page(object_id, "referrers", "id", False, "", 0, 0)
            assert (page.reference_count, page.referrer_count) == \
                   (len(whole.references), len(whole.referrers))
            assert page.object == whole[:len(engine.ObjectRow.__match_args__)]
        assert store.edge_page(123456789, "references", "id", False, "", 0, 5) is None
        with pytest.raises(ValueError):
            store.edge_page(hub, "sideways", "id", False, "", 0, 5)


def test_sites_total_the_objects_per_site_file_and_function_and_name_each_objects_site(tmp_path):
    from vesker.sites import SiteCollector

    graph = random_graph(random.Random(23), 400, dangling_share=0.0)
    build_store(tmp_path, encode_lines(graph), vesker_analysis.EstimatorPrecision.Exact, retained=True)
    table = {0: [["app/a.py", 3, "make"]], 1: [["app/a.py", 9, "make"]], 2: [["app/b.py", 1, None]]}
    labels = {record["id"]: random.Random(record["id"]).choice([0, 1, 2, None]) for record in graph}
    collector = SiteCollector(1)
    collector.table = table
    for object_id in sorted(labels):
        if labels[object_id] is not None:
            collector.ids.append(object_id)
            collector.sites.append(labels[object_id])
    with engine.Store(tmp_path) as store:
        collector.save(str(tmp_path), store)
    queries = StoreQueries(str(tmp_path))
    try:
        client = TestClient(create_app(queries), base_url="http://127.0.0.1")
        assert get(client, "/api/overview")["sites"]
        lines = get(client, "/api/sites?by=count&limit=2")
        rest = get(client, "/api/sites?by=count&offset=2")
        counts = [row["count"] for row in lines["rows"] + rest["rows"]]
        assert lines["total"] == 3 and counts == sorted(counts, reverse=True)
        assert sum(counts) + lines["unknown"]["count"] == len(graph)
        assert sorted(counts) == sorted(sum(1 for s in labels.values() if s == n) for n in table)
        files = get(client, "/api/sites?group=file&by=size")["rows"]
        assert {(row["where"], row["sites"]) for row in files} == {("app/a.py", 2), ("app/b.py", 1)}
        assert sum(row["size"] for row in files) == sum(row["size"] for row in lines["rows"] + rest["rows"])
        functions = get(client, "/api/sites?group=function")["rows"]
        assert {row["where"] for row in functions} == {"app/a.py in make", "app/b.py:1"}
        known = next(i for i, n in labels.items() if n == 1)
        unknown = next(i for i, n in labels.items() if n is None)
        assert get(client, f"/api/object/{known}")["site"]["where"] == "app/a.py:9 in make"
        assert not get(client, f"/api/object/{unknown}")["site"]["known"]
    finally:
        queries.close()
