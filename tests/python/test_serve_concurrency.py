"""`vesker serve` under load and change: side-by-side requests, clients that hang up, a store
written to while it is served, and the Host check of the address actually bound."""

from __future__ import annotations

import contextlib
import gc
import http.client
import os
import pathlib
import re
import socket
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Iterator

import pytest

import vesker
import vesker_analysis
from vesker import engine
from records import line

pytest.importorskip("starlette")
pytest.importorskip("httpx")
uvicorn = pytest.importorskip("uvicorn")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from vesker.cli.serve import allowed_hosts  # noqa: E402
from vesker.server.api import STORE_THREADS  # noqa: E402
from vesker.server.app import create_app  # noqa: E402
from vesker.server.queries import StoreQueries  # noqa: E402

FAN = 2000  # edges per hub: more than the core's checks are apart (1024 steps)
HUB, FAN_OUT = 1, 2
HOLDERS = range(10_000, 10_000 + FAN)  # each refers to the hub; nothing refers to them
HELD = range(20_000, 20_000 + FAN)  # what FAN_OUT refers to
WAIT = 20  # seconds a test waits for what must happen long before


def fan_lines() -> list[bytes]:
    lines = [line(HUB, "app.Hub", size=1), line(FAN_OUT, "app.Fan", references=list(HELD), size=10)]
    lines += [line(i, "app.Holder", references=[HUB], size=10) for i in HOLDERS]
    lines += [line(i, "app.Item", size=10) for i in HELD]
    return lines


@pytest.fixture
def store(tmp_path: pathlib.Path) -> Iterator[str]:
    explorer = vesker_analysis.HeapDumpExplorer(str(tmp_path))
    explorer.import_lines(fan_lines(), vesker_analysis.EstimatorPrecision.Exact)
    with engine.Store(tmp_path) as analyses:
        analyses.compute_retained()
    del explorer
    gc.collect()
    yield str(tmp_path)


@pytest.fixture
def queries(store: str) -> Iterator[StoreQueries]:
    opened = StoreQueries(store)
    yield opened
    opened.close()


def test_long_queries_stop_when_cancelled_and_answer_alike_otherwise(store: str) -> None:
    calls = {
        "edge_page": lambda s, **c: s.edge_page(HUB, "referrers", "size", True, "", 0, 10, **c),
        "find_path_tolerant": lambda s, **c: s.find_path_tolerant(FAN_OUT, HUB, frozenset(), **c),
        "find_common_tolerant": lambda s, **c: s.find_common_tolerant(FAN_OUT, HOLDERS[0], **c),
        "dominator_tree": lambda s, **c: s.dominator_tree(None, ("app.Holder",), 5, **c),
        "why": lambda s, **c: s.why(HUB, **c),
    }
    with engine.Store(store) as analyses:
        for name, call in calls.items():
            assert call(analyses, cancel=engine.Cancellation()) == call(analyses), name
            stopped = engine.Cancellation()
            stopped.cancel()
            with pytest.raises(engine.Cancelled):
                call(analyses, cancel=stopped)
        with pytest.raises(TypeError, match="Cancellation"):
            analyses.why(HUB, cancel=object())


class Slow:
    """The engine's store with pages of edges that wait until released, or until their request is
    cancelled (the object's own record, a page without rows, comes at once)."""

    def __init__(self, store: engine.Store) -> None:
        self.store = store
        self.release = threading.Event()
        self.lock = threading.Lock()
        self.entered: list[int] = []  # the offsets asked for
        self.cancelled: list[int] = []

    def __getattr__(self, name: str) -> object:
        return getattr(self.store, name)

    def edge_page(self, *args: object, cancel: engine.Cancellation | None = None) -> object:
        offset, limit = int(args[5]), int(args[6])  # type: ignore[call-overload]
        if limit == 0:
            return self.store.edge_page(*args, cancel=cancel)
        with self.lock:
            self.entered.append(offset)
        while not self.release.wait(0.01):
            if cancel is not None and cancel.cancelled:
                with self.lock:
                    self.cancelled.append(offset)
                raise engine.Cancelled("cancelled")
        return self.store.edge_page(*args, cancel=cancel)


@contextlib.contextmanager
def running(app: object) -> Iterator[int]:
    """The application served by uvicorn on a loopback port, in this process."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(256)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + WAIT
    while not server.started and time.monotonic() < deadline:
        time.sleep(0.01)
    try:
        yield listener.getsockname()[1]
    finally:
        server.should_exit = True
        thread.join(WAIT)
        listener.close()


def fetch(port: int, path: str) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def hanging_up(port: int, path: str) -> socket.socket:
    """A request sent on a connection its caller closes without reading the answer."""
    connection = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    return connection


def wait_until(condition: object, what: str) -> None:
    deadline = time.monotonic() + WAIT
    while not condition():  # type: ignore[operator]
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def edges(offset: int) -> str:
    """A page of a short edge list, one for each offset."""
    return f"/api/object/{HOLDERS[0]}/references?sort=size&offset={offset}&limit=1"


def in_threads(port: int, paths: list[str]) -> tuple[list[threading.Thread], list[int]]:
    statuses: list[int] = []

    def one(path: str) -> None:
        statuses.append(fetch(port, path)[0])

    threads = [threading.Thread(target=one, args=(path,)) for path in paths]
    for thread in threads:
        thread.start()
    return threads, statuses


def test_requests_run_side_by_side_and_files_never_wait_for_the_store(queries: StoreQueries) -> None:
    slow = Slow(queries.analyses)
    queries.heap._engine = slow  # type: ignore[assignment]
    with running(create_app(queries)) as port:
        # A few slow queries leave the store free for the others.
        threads, statuses = in_threads(port, [edges(offset) for offset in range(3)])
        wait_until(lambda: len(slow.entered) == 3, "the slow queries started")
        assert fetch(port, "/api/overview")[0] == 200
        assert fetch(port, "/api/objects?type=app.Holder&by=id&limit=5")[0] == 200
        # Fifty of them fill every store thread; the page's files still come at once.
        more, more_statuses = in_threads(port, [edges(offset) for offset in range(3, 53)])
        wait_until(lambda: len(slow.entered) == STORE_THREADS, "the store threads filled")
        started = time.monotonic()
        status, body = fetch(port, "/static/style.css")
        assert status == 200 and b"--ink" in body and time.monotonic() - started < 5
        slow.release.set()
        for thread in threads + more:
            thread.join(WAIT)
    assert statuses + more_statuses == [200] * 53 and sorted(slow.entered) == list(range(53))


def test_a_request_whose_client_hung_up_stops_or_never_starts(queries: StoreQueries) -> None:
    slow = Slow(queries.analyses)
    queries.heap._engine = slow  # type: ignore[assignment]
    with running(create_app(queries)) as port:
        # Running: its query is told to stop.
        connection = hanging_up(port, edges(1000))
        wait_until(lambda: slow.entered == [1000], "the query started")
        connection.close()
        wait_until(lambda: slow.cancelled == [1000], "the running query was cancelled")
        # Waiting for a store thread: it leaves the queue.
        threads, statuses = in_threads(port, [edges(offset) for offset in range(STORE_THREADS)])
        wait_until(lambda: len(slow.entered) == STORE_THREADS + 1, "the store threads filled")
        hanging_up(port, edges(2000)).close()
        time.sleep(2)  # the server notices the hang-up while the store threads are busy
        slow.release.set()
        for thread in threads:
            thread.join(WAIT)
        assert statuses == [200] * STORE_THREADS
        assert fetch(port, edges(3000))[0] == 200
    assert 2000 not in slow.entered and 3000 in slow.entered


def test_answers_given_side_by_side_are_those_given_one_at_a_time(queries: StoreQueries) -> None:
    paths = [edges(offset) for offset in range(0, 40, 3)] + [
        f"/api/object/{HUB}/referrers?sort=type&type=app.Holder&limit=500",
        f"/api/path?from={FAN_OUT}&to={HELD[7]}", f"/api/common?a={HOLDERS[0]}&b={HOLDERS[1]}",
        "/api/tree?limit=20", "/api/tree?expand=app.Holder&limit=500", f"/api/object/{HUB}/why/path",
        "/api/objects?type=All%20Types&by=retained&offset=100", "/api/types?sort=retained",
    ]
    with running(create_app(queries)) as port:
        alone = {path: fetch(port, path) for path in paths}
        answers: dict[str, list[tuple[int, bytes]]] = {path: [] for path in paths}

        def ask(path: str) -> None:
            answers[path].append(fetch(port, path))

        threads = [threading.Thread(target=ask, args=(path,)) for path in paths * 4]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(WAIT)
    assert all(status == 200 for status, _ in alone.values())
    assert answers == {path: [answer] * 4 for path, answer in alone.items()}


def test_the_view_reads_the_store_again_when_another_writer_changed_it(queries: StoreQueries) -> None:
    client = TestClient(create_app(queries), base_url="http://127.0.0.1")
    before = client.get("/api/overview")
    assert before.json()["retained"] == "fresh" and before.json()["top_retainers"]
    generation = before.headers["store-generation"]
    assert client.get("/api/tree").status_code == 200
    # An import adds to the store: the counts change and the retained sizes no longer fit.
    queries.explorer.import_lines([line(50_000 + i, "app.Late", size=7) for i in range(5)],
                                  vesker_analysis.EstimatorPrecision.Exact)
    after = client.get("/api/overview")
    shown = after.json()
    assert after.headers["store-generation"] != generation
    assert shown["objects"] == before.json()["objects"] + 5 and shown["retained"] == "stale"
    assert "top_retainers" not in shown
    assert "app.Late" in [row["type"] for row in client.get("/api/types?limit=500").json()["rows"]]
    assert "changed since" in client.get("/api/tree").json()["error"]["message"]
    # Computed again, from another handle of the store: fresh once more.
    with engine.Store(queries.path) as analyses:
        analyses.compute_retained()
    assert client.get("/api/store").json()["retained"] == "fresh"
    assert client.get("/api/overview").json()["objects"] == shown["objects"]
    # The data file replaced under the server: said, not hidden.
    data = os.path.join(queries.path, "data.mdb")
    os.rename(data, data + ".moved")
    try:
        assert client.get("/api/store").json()["replaced"]
    finally:
        os.rename(data + ".moved", data)
    assert not client.get("/api/store").json()["replaced"]


def test_hosts_follow_the_address_bound_and_the_names_given() -> None:
    assert allowed_hosts("127.0.0.2", "127.0.0.2", []) == ["127.0.0.1", "127.0.0.2", "[::1]", "localhost"]
    assert allowed_hosts("::1", "::1", []) == ["127.0.0.1", "[::1]", "localhost"]
    assert allowed_hosts("192.0.2.7", "192.0.2.7", ["Box.Example"]) == ["192.0.2.7", "box.example"]
    wildcard = allowed_hosts("0.0.0.0", "0.0.0.0", ["box.example"])
    assert {"0.0.0.0", "127.0.0.1", "localhost", "box.example", socket.gethostname().lower()} <= set(wildcard)
    assert "*" not in wildcard


def serve(store: str, *arguments: str) -> tuple[subprocess.Popen[str], str, str]:
    """A `vesker serve` process on a free port, its announced URL and what it printed first."""
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(vesker.__file__).parent.parent))
    process = subprocess.Popen([sys.executable, "-m", "vesker", "serve", store, "--port", "0", "--no-browser",
                                *arguments], stderr=subprocess.PIPE, text=True, env=env)
    assert process.stderr is not None
    printed = ""
    while "Ctrl-C" not in printed:
        printed += process.stderr.readline()
        assert process.poll() is None, printed + process.stderr.read()
    match = re.search(r" at (http://[^ ]+/) ", printed)
    assert match, printed
    return process, match.group(1), printed


def status_with_host(url: str, host: str | None = None) -> int:
    address, port = re.match(r"http://\[?([^\]/]+?)\]?:(\d+)/", url).groups()  # type: ignore[union-attr]
    connection = http.client.HTTPConnection("127.0.0.1" if address == "0.0.0.0" else address, int(port),
                                            timeout=WAIT)
    try:
        connection.request("GET", "/api/store", headers={} if host is None else {"Host": host})
        return connection.getresponse().status
    finally:
        connection.close()


def test_the_command_answers_its_own_url_and_refuses_foreign_hosts(store: str) -> None:
    process, url, _ = serve(store, "--host", "127.0.0.2")
    try:
        assert url.startswith("http://127.0.0.2:")
        assert status_with_host(url) == 200
        assert status_with_host(url, "attacker.example") == 400
    finally:
        process.terminate()
        process.wait(WAIT)
    process, url, printed = serve(store, "--host", "0.0.0.0", "--allow-host", "box.example")
    try:
        assert "DNS rebinding" in printed and "box.example" in printed
        port = url.rsplit(":", 1)[1].rstrip("/")
        assert status_with_host(url) == 200
        assert status_with_host(url, f"box.example:{port}") == 200
        assert status_with_host(url, f"localhost:{port}") == 200
        assert status_with_host(url, f"attacker.example:{port}") == 400
    finally:
        process.terminate()
        process.wait(WAIT)


def test_long_edge_lists_are_paged_from_one_order_like_the_engine_pages_them(queries: StoreQueries) -> None:
    client = TestClient(create_app(queries), base_url="http://127.0.0.1")
    engine_store = queries.analyses
    for object_id, direction in ((HUB, "referrers"), (FAN_OUT, "references")):
        for sort in ("size", "type", "id", "subtree"):
            for descending in (False, True):
                for type_filter, offset, limit in (("", 0, 50), ("", 1990, 30), ("app.Holder", 700, 500),
                                                   ("app.Nothing", 0, 10), ("", FAN + 5, 10)):
                    page = engine_store.edge_page(object_id, direction, sort, descending, type_filter, offset, limit)
                    shown = client.get(f"/api/object/{object_id}/{direction}?sort={sort}&type={type_filter}"
                                       f"&order={'desc' if descending else 'asc'}&offset={offset}&limit={limit}")
                    answer = shown.json()
                    assert answer["total"] == page.total
                    assert [row["id"] for row in answer["rows"]] == [str(row.id) for row in page.rows]
    assert engine_store.edge_order(12345, "references", "id", False, "") is None
    assert engine_store.edge_rows(HUB, "referrers", [HOLDERS[0], 99]) == [
        engine_store.edge_page(HUB, "referrers", "id", False, "", 0, 1).rows[0],
        engine.ObjectRow((99, None, None, None, None, "missing"))]
