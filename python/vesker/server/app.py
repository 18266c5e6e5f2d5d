"""The web application: the JSON API under /api, the page and its static files, error pages.

The page is one document whose views live in the URL's fragment (#/object/123), so every view
can be shared as a link while the server runs. Nothing outside the package's static folder is
ever served, and the page may load scripts, styles and data from this server only.
"""

from __future__ import annotations

import html
from pathlib import Path

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response
from starlette.routing import Mount, Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from vesker.server import api
from vesker.server.page_files import PageFiles
from vesker.server.queries import StoreQueries

STATIC = Path(__file__).parent / "static"

_SECURITY_HEADERS = [
    (b"content-security-policy",
     b"default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     b"connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
]
_STATUS_TEXT = {400: "Bad request", 404: "Not found", 405: "Method not allowed", 500: "Server error"}


class _SecurityHeaders:
    """Adds the headers that keep the page to its own origin and the API out of caches."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        no_store = scope["path"].startswith("/api/")

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = list(message.get("headers", [])) + _SECURITY_HEADERS
                if no_store:
                    headers.append((b"cache-control", b"no-store"))
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_with_headers)


def _error_page(status: int, message: str) -> Response:
    title = _STATUS_TEXT.get(status, f"Error {status}")
    body = (
        "<!doctype html><html lang=en><head><meta charset=utf-8>"
        f"<title>{title} - vesker</title><link rel=stylesheet href=/static/style.css></head>"
        f"<body class=error-page><main><h1>{status} {title}</h1><p>{html.escape(message)}</p>"
        "<p><a href=/>Back to the overview</a></p></main></body></html>"
    )
    return HTMLResponse(body, status_code=status)


def _error(request: Request, status: int, message: str) -> Response:
    if request.url.path.startswith("/api/") or request.url.path == "/api":
        return api.error_response(status, message)
    return _error_page(status, message)


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    message = {404: f"nothing at {request.url.path}", 405: f"{request.method} is not allowed here"}
    return _error(request, exc.status_code, message.get(exc.status_code, str(exc.detail)))


async def _server_error(request: Request, exc: Exception) -> Response:
    return _error(request, 500, f"the server failed: {type(exc).__name__}: {exc}")


def create_app(queries: StoreQueries, baseline: StoreQueries | None = None,
               allowed_hosts: list[str] | None = None) -> Starlette:
    """The application over one opened store, compared with `baseline` when given.
    `allowed_hosts` guards against DNS rebinding: a page of another site that resolves its own
    name to this machine gets no answer."""
    served = api.Served.of(queries, baseline)
    hosts = allowed_hosts or ["127.0.0.1", "localhost", "[::1]"]
    files = PageFiles(STATIC)
    return Starlette(
        routes=[
            Route("/", files.index, methods=["GET"]),
            Mount("/api", routes=api.routes(served)),
            Route("/static/{name:path}", files.serve, methods=["GET"]),
        ],
        middleware=[
            Middleware(_SecurityHeaders),
            Middleware(TrustedHostMiddleware, allowed_hosts=hosts),
        ],
        exception_handlers={HTTPException: _http_error, 500: _server_error},
    )
