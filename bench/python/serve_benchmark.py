"""Server time of the browser view's pages on a store of a generated dump (about 2.4 million objects).

For each view, the requests its first render makes are sent to the application in this process
(Starlette's test client: routing, the query and the JSON encoding, without the network), first
on a freshly opened store (cold) and then again (warm, median of five). Prints the time per
view, the largest response, and the process's anonymous memory apart from mapped store pages.
Targets: every view under 300 ms of server time, every response under 1 MB.

    python bench/python/serve_benchmark.py [--objects 2400000] [--store DIR]

Without --store the store is kept in /tmp/vesker-bench/serve-store-N and reused; its retained
sizes are computed when missing.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate_dump  # noqa: E402
import vesker_analysis  # noqa: E402
from vesker import engine  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient  # noqa: E402

from vesker.server.app import create_app  # noqa: E402
from vesker.server.queries import StoreQueries  # noqa: E402

ALL_TYPES = "All Types"
TARGET_MS = 300
TARGET_BYTES = 1_000_000


def memory() -> str:
    fields = {}
    with open("/proc/self/status") as status:
        for row in status:
            name, _, value = row.partition(":")
            fields[name] = value.strip()
    return f"RssAnon {fields.get('RssAnon')}, RssFile {fields.get('RssFile')}"


def fill(directory: Path, objects: int, seed: int) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    explorer = vesker_analysis.HeapDumpExplorer(str(directory))
    if not explorer.get_objects_by_type(ALL_TYPES, 0):
        started = time.perf_counter()
        explorer.import_lines(generate_dump.iter_lines(objects, seed), vesker_analysis.EstimatorPrecision.Exact)
        print(f"imported {objects:,} objects in {time.perf_counter() - started:.1f} s")
    with engine.Store(directory) as analyses:
        if analyses.retained_state() != "fresh":
            analyses.compute_retained()
    del explorer
    gc.collect()


class Recorder:
    def __init__(self, client: TestClient) -> None:
        self.client = client
        self.largest = (0, "")
        self.largest_api = (0, "")

    def get(self, url: str) -> dict:
        response = self.client.get(url)
        size = len(response.content)
        if size > self.largest[0]:
            self.largest = (size, url)
        if url.startswith("/api/") and size > self.largest_api[0]:
            self.largest_api = (size, url)
        if response.status_code != 200:
            raise SystemExit(f"{url}: {response.status_code} {response.text[:300]}")
        return response.json() if url.startswith("/api/") else {}

    def view(self, name: str, urls: list[str], results: list[tuple[str, float, float]]) -> None:
        def once() -> float:
            started = time.perf_counter()
            for url in urls:
                self.get(url)
            return (time.perf_counter() - started) * 1e3

        cold = once()
        warm = statistics.median(once() for _ in range(5))
        results.append((name, cold, warm))


def object_urls(object_id: str) -> list[str]:
    return [f"/api/object/{object_id}", f"/api/object/{object_id}/references?limit=50",
            f"/api/object/{object_id}/referrers?limit=50"]


def first_answering(queries: StoreQueries, rows: list[dict], key: Callable[[object], int]) -> str:
    """The id among `rows` with the largest key whose record can be read (generated dumps hold
    references to freed addresses, which a lookup reports as an error). Asked of the explorer
    directly, so that the view's own caches stay cold."""
    best, best_key = "", -1
    for row in rows:
        try:
            record = queries.explorer.get_object(int(row["id"]))
        except RuntimeError:
            continue
        if record is not None and key(record) > best_key:
            best, best_key = row["id"], key(record)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=2_400_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--store", type=Path)
    args = parser.parse_args()
    store = args.store or Path(f"/tmp/vesker-bench/serve-store-{args.objects}")
    fill(store, args.objects, args.seed)

    started = time.perf_counter()
    queries = StoreQueries(str(store))
    opened_ms = (time.perf_counter() - started) * 1e3
    client = TestClient(create_app(queries), base_url="http://127.0.0.1")
    recorder = Recorder(client)
    results: list[tuple[str, float, float]] = []

    recorder.view("page and scripts", ["/", "/static/app.js", "/static/views.js", "/static/ui.js",
                                       "/static/vendor/d3.min.js", "/static/style.css"], results)
    recorder.view("overview", ["/api/overview"], results)
    recorder.view("types", ["/api/types?sort=size&limit=50"], results)
    recorder.view("types, filtered", ["/api/types?filter=str&sort=count&limit=50"], results)
    biggest = max(queries.types, key=lambda row: row.count)
    name = biggest.name
    count = biggest.count
    for label, url in [
        ("first page, by subtree", f"/api/objects?type={name}&limit=50"),
        ("middle page, by size", f"/api/objects?type={name}&by=size&offset={count // 2}&limit=50"),
        ("last page, ascending subtree", f"/api/objects?type={name}&order=asc&limit=50"),
        ("page by id", f"/api/objects?type={name}&by=id&offset={count // 2}&limit=50"),
    ]:
        recorder.view(f"{name} ({count:,} objects): {label}", [url], results)
    total = queries.object_count
    recorder.view(f"all {total:,} objects: last page by size",
                  [f"/api/objects?type=All%20Types&by=size&order=asc&limit=50"], results)
    recorder.view("all objects: 500 rows", [f"/api/objects?type=All%20Types&limit=500"], results)

    top = recorder.get("/api/objects?type=All%20Types&limit=50")["rows"]
    largest = first_answering(queries, top, lambda record: record.subtree_size or 0)
    recorder.view("object: the largest", object_urls(largest), results)
    # None: in a Python heap, the object with the most referrers.
    nones = recorder.get("/api/types?filter=NoneType")["rows"]
    candidates = recorder.get(f"/api/objects?type={nones[0]['type']}&by=id&limit=5")["rows"] if nones else \
        recorder.get("/api/objects?type=builtins.type&by=size&limit=200")["rows"]
    hub = first_answering(queries, candidates, lambda record: len(record.referrers))
    referrers = len(queries.explorer.get_object(int(hub)).referrers)
    recorder.view(f"object: a hub with {referrers:,} referrers", object_urls(hub), results)
    recorder.view("hub: referrers page 20, by type",
                  [f"/api/object/{hub}/referrers?sort=type&offset=950&limit=50"], results)

    overview = recorder.get("/api/overview")
    if overview["retained"] == "fresh":
        recorder.view(f"{name}: first page, by retained", [f"/api/objects?type={name}&by=retained&limit=50"], results)
        recorder.view(f"{name}: last page, ascending retained",
                      [f"/api/objects?type={name}&by=retained&order=asc&limit=50"], results)
        recorder.view("types by retained", ["/api/types?sort=retained&limit=50"], results)
        recorder.view("dominator tree: the root", ["/api/tree?limit=50"], results)
        retainer = overview["top_retainers"][0]["id"]
        recorder.view("dominator tree: below the top retainer", [f"/api/tree?id={retainer}&limit=50"], results)
        recorder.view("why alive: the largest object",
                      [f"/api/object/{largest}/why/dominators?limit=50", f"/api/object/{largest}/why/path?limit=50"],
                      results)
    else:
        print(f"retained sizes: {overview['retained']} (compute them with 'vesker retained {store}')")

    print(f"store: {store} ({total:,} objects); opening it for the view: {opened_ms:.0f} ms")
    print(f"{'view':<62} {'cold ms':>9} {'warm ms':>9}")
    for label, cold, warm in results:
        flag = "" if max(cold, warm) < TARGET_MS else "  over target"
        print(f"{label:<62} {cold:9.1f} {warm:9.1f}{flag}")
    size, url = recorder.largest
    print(f"largest response: {size:,} bytes ({url}); target under {TARGET_BYTES:,}")
    size, url = recorder.largest_api
    print(f"largest API response: {size:,} bytes ({url})")
    print(memory())
    queries.close()


if __name__ == "__main__":
    main()
