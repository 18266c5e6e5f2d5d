"""The JSON API: one route per query, its parameters checked before the store is asked.

Errors come back as {"error": {"status": N, "message": "..."}}: 400 for a request that
cannot be read, 404 for an id, type or route that does not exist, 500 when the store fails.
Every answer carries the store's generation (header `store-generation`), which changes when
another process writes to the store, so that a page can tell that what it shows is out of date.

The store is asked from a bounded pool of threads of its own: requests waiting for the store
never hold up the threads that serve the page's files. A request whose client hangs up leaves
the queue, or stops its query where the query can stop.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from vesker.server.compare import SORTS, Comparison
from vesker import engine
from vesker.server.queries import (
    MAX_LIMIT,
    TOP_ROWS,
    Json,
    QueryError,
    StoreQueries,
    Window,
    answering_for,
    bad_request,
    not_found,
)
from vesker.server.retained import MAX_TREE_ROWS, Retained, availability
from vesker.server.sites import GROUPS, ORDERS, Sites
from vesker.store import ALL_TYPES

_MAX_ID = (1 << 64) - 1
# The largest whole number a page's script holds exactly; no store has that many rows.
MAX_OFFSET = (1 << 53) - 1
DEFAULT_LIMIT = 50
# Threads that ask the store at once. LMDB gives each its own read transaction; more of them
# than this only share the same cores, and stay far below the environment's 126 readers.
STORE_THREADS = 8
GENERATION_HEADER = "store-generation"


class AsciiJSONResponse(JSONResponse):
    """Compact JSON escaped to ASCII: stored values may hold lone surrogates, which UTF-8 cannot."""

    def render(self, content: Any) -> bytes:
        return json.dumps(content, ensure_ascii=True, separators=(",", ":")).encode("ascii")


def error_response(status: int, message: str) -> Response:
    return AsciiJSONResponse({"error": {"status": status, "message": message}}, status_code=status)


# -- parameters ---------------------------------------------------------------


def object_id(text: str, what: str = "object id") -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise bad_request(f"{what} is not a number: {text!r}") from None
    if not 0 <= value <= _MAX_ID:
        raise bad_request(f"{what} is out of range: {text!r}")
    return value


def _integer(params: Mapping[str, str], name: str, default: int, low: int, high: int) -> int:
    text = params.get(name)
    if text is None or text == "":
        return default
    try:
        value = int(text)
    except ValueError:
        raise bad_request(f"{name} must be a whole number, not {text!r}") from None
    if not low <= value <= high:
        raise bad_request(f"{name} must be between {low} and {high}, not {value}")
    return value


def window(params: Mapping[str, str]) -> Window:
    return Window(
        offset=_integer(params, "offset", 0, 0, MAX_OFFSET),
        limit=_integer(params, "limit", DEFAULT_LIMIT, 1, MAX_LIMIT),
    )


def _choice(params: Mapping[str, str], name: str, default: str, allowed: tuple[str, ...]) -> str:
    value = params.get(name) or default
    if value not in allowed:
        raise bad_request(f"{name} must be one of {', '.join(allowed)}, not {value!r}")
    return value


def descending(params: Mapping[str, str], default: str = "desc") -> bool:
    return _choice(params, "order", default, ("desc", "asc")) == "desc"


def required(params: Mapping[str, str], name: str) -> str:
    value = params.get(name)
    if not value:
        raise bad_request(f"the parameter {name!r} is required")
    return value


def id_list(text: str, what: str) -> frozenset[int]:
    return frozenset(object_id(part.strip(), what) for part in text.split(",") if part.strip())


# -- routes -------------------------------------------------------------------


@dataclass
class Served:
    """What the server answers from: the store, and what some stores add to it, read again
    when another process writes to either store."""

    queries: StoreQueries
    baseline: StoreQueries | None = None
    comparison: Comparison | None = None
    retained: Retained | None = None
    retained_state: str = "missing"
    sites: Sites | None = None
    _refreshing: threading.Lock = field(default_factory=threading.Lock, repr=False)

    @classmethod
    def of(cls, queries: StoreQueries, baseline: StoreQueries | None = None) -> Served:
        served = cls(queries, baseline)
        served._read_additions()
        return served

    def _read_additions(self) -> None:
        state = availability(self.queries)
        self.retained = Retained(self.queries) if state == "fresh" else None
        self.retained_state = state
        self.sites = Sites(self.queries)
        self.comparison = None if self.baseline is None else Comparison(self.queries, self.baseline)

    def refresh(self) -> None:
        changed = self.queries.refresh()
        changed = (self.baseline is not None and self.baseline.refresh()) or changed
        if changed:
            with self._refreshing:
                self._read_additions()

    def need_retained(self) -> Retained:
        if self.retained is None:
            reason = {"missing": "the store has no retained sizes; compute them with 'vesker retained STORE'",
                      "stale": "the store changed since its retained sizes were computed; "
                               "compute them again with 'vesker retained STORE'"}
            raise not_found(reason.get(self.retained_state, "the store has no retained sizes"))
        return self.retained


Handler = Callable[[Served, Request], Json]


_CLIENT_GONE = 499  # nobody reads it: the client hung up


def _answer(handler: Handler, served: Served, request: Request, cancel: engine.Cancellation) -> Response:
    """The response to one request, computed (and encoded) in a store thread."""
    answering_for(cancel)
    response: Response
    try:
        served.refresh()
        response = AsciiJSONResponse(handler(served, request))
    except QueryError as error:
        response = error_response(error.status, error.message)
    except engine.Cancelled:
        response = Response(status_code=_CLIENT_GONE)
    response.headers[GENERATION_HEADER] = str(served.queries.generation)
    return response


async def _hang_up(request: Request) -> None:
    """Returns when the client has hung up. A GET has no body: the server's next message is
    the disconnection, whenever it comes."""
    while (await request.receive())["type"] != "http.disconnect":
        pass


class StoreThreads:
    """The store's own pool of threads; created in the event loop on first use."""

    def __init__(self, count: int = STORE_THREADS) -> None:
        self.count = count
        self._limiter: anyio.CapacityLimiter | None = None

    @property
    def limiter(self) -> anyio.CapacityLimiter:
        if self._limiter is None:
            self._limiter = anyio.CapacityLimiter(self.count)
        return self._limiter


def endpoint(handler: Handler, served: Served, threads: StoreThreads) -> Callable[[Request], Awaitable[Response]]:
    """A route that runs `handler` in a store thread, turns query errors into JSON errors, and
    gives up on the request when its client hangs up."""

    async def respond(request: Request) -> Response:
        cancel = engine.Cancellation()
        answered: list[Response] = []
        failed: list[BaseException] = []

        async with anyio.create_task_group() as group:
            async def work() -> None:
                try:
                    answered.append(await anyio.to_thread.run_sync(
                        _answer, handler, served, request, cancel, limiter=threads.limiter))
                except Exception as error:  # a fault, reported by the server's error page
                    failed.append(error)
                group.cancel_scope.cancel()

            async def watch() -> None:
                await _hang_up(request)
                # Waiting for a thread ends now; a running query stops at its next check.
                cancel.cancel()
                group.cancel_scope.cancel()

            group.start_soon(work)
            group.start_soon(watch)
        if failed:
            raise failed[0]
        return answered[0] if answered else Response(status_code=_CLIENT_GONE)

    return respond


def _overview(served: Served, request: Request) -> Json:
    answer = served.queries.overview()
    answer["baseline"] = None if served.comparison is None else served.comparison.summary()
    answer["retained"] = served.retained_state
    answer["generation"] = served.queries.generation
    answer["replaced"] = served.queries.replaced
    answer["sites"] = served.sites is not None and served.sites.table is not None
    if served.retained is not None:
        answer["suspects"] = served.retained.suspects()
        answer["top_retainers"] = served.retained.top(ALL_TYPES, True, Window(0, TOP_ROWS))["rows"]
    return answer


def _need_baseline(served: Served) -> Comparison:
    if served.comparison is None:
        raise not_found("there is no baseline to compare with: start the server with --baseline OLD_STORE")
    return served.comparison


def _held(served: Served, request: Request) -> Json:
    return _need_baseline(served).held(window(request.query_params))


def _compare(served: Served, request: Request) -> Json:
    comparison = _need_baseline(served)
    params = request.query_params
    sort = _choice(params, "sort", "size", SORTS)
    return comparison.types(sort, descending(params, "asc" if sort == "name" else "desc"),
                                   params.get("filter", ""), window(params))


def _types(served: Served, request: Request) -> Json:
    params = request.query_params
    retained = None if served.retained is None else served.retained.type_retained
    sorts = ("size", "count", "name", "retained") if retained is not None else ("size", "count", "name")
    return served.queries.type_list(
        sort=_choice(params, "sort", "size", sorts),
        descending=descending(params, "asc" if params.get("sort") == "name" else "desc"),
        contains=params.get("filter", ""),
        window=window(params),
        retained=retained,
    )


def _type_objects(served: Served, request: Request) -> Json:
    params = request.query_params
    queries = served.queries
    default = "retained" if served.retained else "subtree" if queries.has_subtree_sizes else "size"
    by = _choice(params, "by", default, ("size", "subtree", "id", "retained"))
    typename = required(params, "type")
    order = descending(params, "asc" if by == "id" else "desc")
    if by == "retained":
        return served.need_retained().top(typename, order, window(params))
    return queries.type_objects(typename, by, order, window(params))


def _object(served: Served, request: Request) -> Json:
    identity = object_id(request.path_params["id"])
    answer = served.queries.object(identity)
    if served.retained is not None:
        answer["retained"] = served.retained.facts(identity)
    if served.sites is not None:
        answer["site"] = served.sites.of_object(identity)
    return answer


def _sites(served: Served, request: Request) -> Json:
    params = request.query_params
    by = _choice(params, "by", "retained", ORDERS)
    group = _choice(params, "group", "site", GROUPS)
    chosen = window(params)
    if served.sites is None:
        raise not_found("the store's allocation sites are not read yet")
    return served.sites.listing(by, group, chosen)


def _edges(served: Served, request: Request) -> Json:
    params = request.query_params
    queries = served.queries
    sort = _choice(params, "sort", "subtree" if queries.has_subtree_sizes else "size",
                   ("size", "subtree", "id", "type"))
    return queries.edges(
        object_id(request.path_params["id"]),
        request.path_params["direction"],
        sort,
        descending(params, "asc" if sort in ("id", "type") else "desc"),
        params.get("type", ""),
        window(params),
    )


def _why(served: Served, request: Request) -> Json:
    return served.need_retained().why(object_id(request.path_params["id"]), request.path_params["which"],
                                      window(request.query_params))


def _tree(served: Served, request: Request) -> Json:
    params = request.query_params
    node = params.get("id")
    expand = [name for name in params.get("expand", "").split(",") if name]
    return served.need_retained().tree(None if not node else object_id(node), expand,
                                       _integer(params, "limit", DEFAULT_LIMIT, 1, MAX_TREE_ROWS))


def _path(served: Served, request: Request) -> Json:
    params = request.query_params
    return served.queries.find_path(
        object_id(required(params, "from"), "start id"),
        object_id(required(params, "to"), "end id"),
        id_list(params.get("avoid", ""), "avoided id"),
        window(params),
    )


def _common(served: Served, request: Request) -> Json:
    params = request.query_params
    return served.queries.find_common(object_id(required(params, "a"), "first id"),
                                      object_id(required(params, "b"), "second id"))


def _store(served: Served, request: Request) -> Json:
    """Whether the store changed: cheap enough for a page to ask every few seconds."""
    return {"store": served.queries.path, "generation": served.queries.generation,
            "replaced": served.queries.replaced, "retained": served.retained_state}


def routes(served: Served, threads: StoreThreads | None = None) -> list[Route]:
    threads = threads or StoreThreads()
    table: list[tuple[str, Handler]] = [
        ("/store", _store),
        ("/overview", _overview),
        ("/compare/types", _compare),
        ("/compare/held", _held),
        ("/types", _types),
        ("/objects", _type_objects),
        ("/object/{id}", _object),
        ("/object/{id}/why/{which}", _why),
        ("/object/{id}/{direction}", _edges),
        ("/tree", _tree),
        ("/path", _path),
        ("/common", _common),
        ("/sites", _sites),
    ]
    return [Route(path, endpoint(handler, served, threads), methods=["GET"]) for path, handler in table]
