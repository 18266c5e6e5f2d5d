"""`vesker serve` under many clients at once: latency per endpoint at 50 and 200 concurrent clients.

A real `vesker serve` process on a loopback port answers clients (each on a kept-alive
connection, as a browser tab) that mix the heavy views (an
object with the most referrers, sorted pages of its referrers, the dominator tree's root, pages
deep in the largest type's listings, why an object is alive) with the light ones (overview,
types, one object) and the page's static files. Each round runs its clients until it has sent
`--requests` requests or `--seconds` have passed, whichever comes first, and prints per endpoint
the number of answers, the median and p99 latency and the errors; then the server's anonymous
memory apart from its mapped store pages. Targets: p99 under 1 s at 50 clients for every view,
under 50 ms for static files.

    python bench/python/serve_load_benchmark.py [DUMP] [--objects 2400000] [--clients 50 200]
                                                [--requests 3000] [--seconds 120] [--store DIR]

DUMP is a heap dump (plain or .gz); without it a generated dump of --objects objects is used.
What the server computes once and keeps (the order of a hub's referrers, a level of the
dominator tree, why an object is alive) is asked for once before the rounds, and timed apart.
The store is imported once (exact sizes and retained sizes) into /tmp/vesker-bench and reused.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import re
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path
from urllib.parse import quote

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate_dump  # noqa: E402

VIEW_TARGET_MS = 1000  # p99 at 50 clients
STATIC_TARGET_MS = 50
TARGET_CLIENTS = 50
STATIC = "static file"


def vesker(*arguments: str, **kwargs: object) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, "-m", "vesker", *arguments], text=True, **kwargs)  # type: ignore[call-overload]


def prepare(dump: Path | None, objects: int, seed: int, store: Path) -> None:
    """Imports the dump into `store` unless it holds it already."""
    if (store / "data.mdb").exists():
        return
    if dump is None:
        dump = Path(f"/tmp/vesker-bench/generated-{objects}-{seed}.jsonl")
        if not dump.exists():
            dump.parent.mkdir(parents=True, exist_ok=True)
            generate_dump.generate(str(dump), objects, seed)
    started = time.perf_counter()
    if vesker("import", str(dump), str(store), "--precision", "exact", "--quiet").wait() != 0:
        raise SystemExit(f"importing {dump} failed")
    print(f"imported {dump} into {store} in {time.perf_counter() - started:.0f} s")


class Connection:
    """One kept-alive connection, as a browser tab keeps one to the server it reads from."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.streams: tuple[asyncio.StreamReader, asyncio.StreamWriter] | None = None

    async def get(self, path: str, timeout: float) -> tuple[int, bytes]:
        for attempt in (1, 2):  # the server may have closed an idle connection
            try:
                return await asyncio.wait_for(self._exchange(path), timeout)
            except (OSError, asyncio.IncompleteReadError, ValueError):
                self.close()
                if attempt == 2:
                    raise
        raise AssertionError("unreachable")

    async def _exchange(self, path: str) -> tuple[int, bytes]:
        if self.streams is None:
            self.streams = await asyncio.open_connection("127.0.0.1", self.port)
        reader, writer = self.streams
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
        head = await reader.readuntil(b"\r\n\r\n")
        status = int(head.split(b" ", 2)[1])
        length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
        body = await reader.readexactly(int(length.group(1))) if length else b""
        if re.search(rb"(?i)\r\nconnection: *close", head):
            self.close()
        return status, body

    def close(self) -> None:
        if self.streams is not None:
            self.streams[1].close()
            self.streams = None


async def get(port: int, path: str, timeout: float) -> tuple[int, bytes]:
    """One GET on a connection of its own."""
    connection = Connection(port)
    try:
        return await connection.get(path, timeout)
    finally:
        connection.close()


class Server:
    def __init__(self, store: Path) -> None:
        self.process = vesker("serve", str(store), "--port", "0", "--no-browser", stderr=subprocess.PIPE)
        assert self.process.stderr is not None
        announced = self.process.stderr.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/", announced)
        if not match:
            raise SystemExit(announced + self.process.stderr.read())
        self.port = int(match.group(1))

    def memory(self) -> str:
        fields = {}
        with open(f"/proc/{self.process.pid}/status") as status:
            for row in status:
                name, _, value = row.partition(":")
                fields[name] = value.strip()
        return f"server RssAnon {fields.get('RssAnon')} (anonymous), RssFile {fields.get('RssFile')} (mapped store pages)"

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(30)


async def json_of(port: int, path: str) -> dict:
    import json

    status, body = await get(port, path, 600)
    if status != 200:
        raise SystemExit(f"{path}: {status} {body[:300]!r}")
    return json.loads(body)


async def endpoints(port: int) -> dict[str, list[str]]:
    """The URLs of each endpoint of the mix, found by asking the server (once, before the rounds)."""
    overview = await json_of(port, "/api/overview")
    largest = max((await json_of(port, "/api/types?sort=count&limit=1"))["rows"], key=lambda row: row["count"])
    big, count = quote(largest["type"]), largest["count"]
    # None is referred to by more objects than anything else in a Python heap.
    nones = (await json_of(port, "/api/types?filter=NoneType"))["rows"]
    candidates = (await json_of(port, f"/api/objects?type={quote(nones[0]['type'])}&by=id&limit=5"))["rows"] \
        if nones else (await json_of(port, "/api/objects?type=builtins.type&limit=50"))["rows"]
    hub, referrers = "", -1
    for row in candidates:
        status, body = await get(port, f"/api/object/{row['id']}", 600)
        if status == 200:
            found = int(re.search(rb'"referrer_count":(\d+)', body).group(1))  # type: ignore[union-attr]
            if found > referrers:
                hub, referrers = row["id"], found
    top = [row["id"] for row in overview["top_objects"]]
    rng = random.Random(5)
    pages = [rng.randrange(max(count - 50, 1)) for _ in range(200)]
    hub_pages = [rng.randrange(max(referrers - 50, 1)) for _ in range(200)]
    types = [row["type"] for row in (await json_of(port, "/api/types?sort=count&limit=8"))["rows"]]
    print(f"the mix: largest type {largest['type']} ({count:,} objects), hub {hub} ({referrers:,} referrers), "
          f"retained sizes {overview['retained']}")
    mix = {
        STATIC: ["/", "/static/style.css", "/static/app.js", "/static/views.js", "/static/vendor/d3.min.js"],
        "overview": ["/api/overview"],
        "types": ["/api/types?sort=size&limit=50", "/api/types?sort=count&order=asc&limit=50",
                  "/api/types?filter=dict&limit=50"],
        "type listing, deep pages": [f"/api/objects?type={big}&by={by}&offset={offset}&limit=50"
                                     for offset in pages for by in ("size", "subtree", "id")],
        "object": [f"/api/object/{object_id}" for object_id in top] +
                  [f"/api/object/{object_id}/references?sort=size&limit=50" for object_id in top],
        "hub referrers, sorted pages": [f"/api/object/{hub}/referrers?sort={sort}&offset={offset}&limit=50"
                                        for offset in hub_pages for sort in ("size", "type", "subtree")],
    }
    if overview["retained"] == "fresh":
        mix["dominator tree root"] = ["/api/tree?limit=50"] + [f"/api/tree?limit=50&expand={quote(name)}"
                                                               for name in types]
        mix["retained listing"] = [f"/api/objects?type={big}&by=retained&offset={offset}&limit=50"
                                   for offset in pages[:50]]
        mix["why alive"] = [f"/api/object/{object_id}/why/path" for object_id in top]
    # What the server keeps once computed (an order of the hub's referrers, a merged tree level,
    # a path from a root) is computed here once, one request at a time, and its time printed:
    # the rounds measure a server that has been in use, not its first minute.
    cold = [f"/api/object/{hub}/referrers?sort={sort}&limit=50" for sort in ("size", "type", "subtree")]
    cold += mix.get("dominator tree root", []) + mix.get("why alive", [])
    timings = []
    for path in cold:
        begun = time.perf_counter()
        await get(port, path, 600)
        timings.append((time.perf_counter() - begun) * 1e3)
    print(f"computed once, before the rounds: {len(cold)} answers, median {statistics.median(timings):.0f} ms, "
          f"longest {max(timings):.0f} ms ({cold[timings.index(max(timings))]})")
    return mix


async def round_of(port: int, mix: dict[str, list[str]], clients: int, requests: int, seconds: float,
                   seed: int) -> tuple[dict[str, list[float]], dict[str, int], float, int]:
    rng = random.Random(seed)
    names = list(mix)
    latencies: dict[str, list[float]] = defaultdict(list)
    errors: dict[str, int] = defaultdict(int)
    started = time.perf_counter()
    deadline = started + seconds
    sent = 0

    async def client() -> None:
        nonlocal sent
        connection = Connection(port)
        while sent < requests and time.perf_counter() < deadline:
            sent += 1
            name = rng.choice(names)
            path = rng.choice(mix[name])
            begun = time.perf_counter()
            try:
                status, _ = await connection.get(path, max(deadline - begun, 1))
            except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError):
                status = 0
            if status == 200:
                latencies[name].append((time.perf_counter() - begun) * 1e3)
            else:
                errors[name] += 1
        connection.close()

    await asyncio.gather(*(client() for _ in range(clients)))
    return latencies, errors, time.perf_counter() - started, sent


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def report(clients: int, latencies: dict[str, list[float]], errors: dict[str, int], seconds: float,
           sent: int) -> None:
    print(f"\n{clients} clients: {sent:,} requests in {seconds:.1f} s ({sent / seconds:,.0f}/s)")
    print(f"{'endpoint':<30} {'answers':>8} {'errors':>7} {'median ms':>10} {'p99 ms':>9} {'max ms':>9}")
    for name in sorted(set(latencies) | set(errors)):
        values = latencies.get(name, [])
        flag = ""
        if clients == TARGET_CLIENTS and values:
            target = STATIC_TARGET_MS if name == STATIC else VIEW_TARGET_MS
            flag = f"  target {target} ms: {'met' if percentile(values, 0.99) < target else 'MISSED'}"
        if values:
            print(f"{name:<30} {len(values):8,} {errors.get(name, 0):7,} {statistics.median(values):10.1f} "
                  f"{percentile(values, 0.99):9.1f} {max(values):9.1f}{flag}")
        else:
            print(f"{name:<30} {0:8} {errors.get(name, 0):7,}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dump", nargs="?", type=Path, help="heap dump to serve (default: a generated one)")
    parser.add_argument("--objects", type=int, default=2_400_000, help="objects of the generated dump")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--store", type=Path, help="store directory (default: under /tmp/vesker-bench)")
    parser.add_argument("--clients", type=int, nargs="+", default=[50, 200])
    parser.add_argument("--requests", type=int, default=3000, help="requests per round at most")
    parser.add_argument("--seconds", type=float, default=120, help="length of a round at most")
    args = parser.parse_args()
    name = args.dump.name.split(".")[0] if args.dump else f"generated-{args.objects}-{args.seed}"
    store = args.store or Path(f"/tmp/vesker-bench/serve-load-{name}")
    prepare(args.dump, args.objects, args.seed, store)

    server = Server(store)
    try:
        started = time.perf_counter()
        mix = asyncio.run(endpoints(server.port))
        print(f"finding the mix (every endpoint once, cold): {time.perf_counter() - started:.1f} s; "
              f"{os.cpu_count()} cores shared with whatever else runs")
        for round_number, clients in enumerate(args.clients):
            latencies, errors, seconds, sent = asyncio.run(
                round_of(server.port, mix, clients, args.requests, args.seconds, round_number))
            report(clients, latencies, errors, seconds, sent)
            print(server.memory())
    finally:
        server.stop()


if __name__ == "__main__":
    main()
