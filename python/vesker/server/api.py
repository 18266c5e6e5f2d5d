"""The JSON API: one route per query, its parameters checked before the store is asked.

Errors come back as {"error": {"status": N, "message": "..."}}: 400 for a request that
cannot be read, 404 for an id, type or route that does not exist, 500 when the store fails.
"""

from __future__ import annotations

import json
from collections.abc import Awaitable, Callable, Mapping
from typing import Any

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from vesker.server.compare import SORTS, Comparison
from vesker.server.queries import MAX_LIMIT, Json, QueryError, StoreQueries, Window, bad_request, not_found

_MAX_ID = (1 << 64) - 1
DEFAULT_LIMIT = 50


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
        offset=_integer(params, "offset", 0, 0, _MAX_ID),
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

Handler = Callable[[StoreQueries, Request], Json]


def endpoint(handler: Handler, queries: StoreQueries) -> Callable[[Request], Awaitable[Response]]:
    """A route that runs `handler` off the event loop and turns query errors into JSON errors."""

    async def respond(request: Request) -> Response:
        try:
            content = await run_in_threadpool(handler, queries, request)
        except QueryError as error:
            return error_response(error.status, error.message)
        return AsciiJSONResponse(content)

    return respond


def _comparison(comparison: Comparison | None) -> Handler:
    def compare(queries: StoreQueries, request: Request) -> Json:
        if comparison is None:
            raise not_found("there is no baseline to compare with: start the server with --baseline OLD_STORE")
        params = request.query_params
        sort = _choice(params, "sort", "size", SORTS)
        return comparison.types(sort, descending(params, "asc" if sort == "name" else "desc"),
                                params.get("filter", ""), window(params))

    return compare


def _with_baseline(comparison: Comparison | None) -> Handler:
    def overview(queries: StoreQueries, request: Request) -> Json:
        return {**queries.overview(), "baseline": None if comparison is None else comparison.summary()}

    return overview


def _types(queries: StoreQueries, request: Request) -> Json:
    params = request.query_params
    return queries.type_list(
        sort=_choice(params, "sort", "size", ("size", "count", "name")),
        descending=descending(params, "asc" if params.get("sort") == "name" else "desc"),
        contains=params.get("filter", ""),
        window=window(params),
    )


def _type_objects(queries: StoreQueries, request: Request) -> Json:
    params = request.query_params
    by = _choice(params, "by", "subtree" if queries.has_subtree_sizes else "size", ("size", "subtree", "id"))
    return queries.type_objects(
        required(params, "type"), by, descending(params, "asc" if by == "id" else "desc"), window(params)
    )


def _object(queries: StoreQueries, request: Request) -> Json:
    return queries.object(object_id(request.path_params["id"]))


def _edges(queries: StoreQueries, request: Request) -> Json:
    params = request.query_params
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


def _path(queries: StoreQueries, request: Request) -> Json:
    params = request.query_params
    return queries.find_path(
        object_id(required(params, "from"), "start id"),
        object_id(required(params, "to"), "end id"),
        id_list(params.get("avoid", ""), "avoided id"),
        window(params),
    )


def _common(queries: StoreQueries, request: Request) -> Json:
    params = request.query_params
    return queries.find_common(object_id(required(params, "a"), "first id"),
                          object_id(required(params, "b"), "second id"))


def routes(queries: StoreQueries, comparison: Comparison | None = None) -> list[Route]:
    table: list[tuple[str, Handler]] = [
        ("/overview", _with_baseline(comparison)),
        ("/compare/types", _comparison(comparison)),
        ("/types", _types),
        ("/objects", _type_objects),
        ("/object/{id}", _object),
        ("/object/{id}/{direction}", _edges),
        ("/path", _path),
        ("/common", _common),
    ]
    return [Route(path, endpoint(handler, queries), methods=["GET"]) for path, handler in table]
