"""The page's own files, read once when the server starts and answered from memory.

They are a few hundred kilobytes; answering them without a file system call keeps them from
waiting for a thread while many requests keep the store busy. Only the files found in the
folder at start are served: any other path, with dots or slashes however encoded, is not found.
"""

from __future__ import annotations

import hashlib
import mimetypes
from pathlib import Path

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response


class PageFiles:
    def __init__(self, directory: Path) -> None:
        self._files: dict[str, tuple[bytes, str, str]] = {}
        for path in sorted(directory.rglob("*")):
            if path.is_file():
                name = path.relative_to(directory).as_posix()
                body = path.read_bytes()
                media_type = mimetypes.guess_type(name)[0] or "application/octet-stream"
                self._files[name] = (body, media_type, f'"{hashlib.sha256(body).hexdigest()[:32]}"')

    def response(self, name: str, request: Request) -> Response:
        found = self._files.get(name)
        if found is None:
            raise HTTPException(status_code=404)
        body, media_type, etag = found
        # Asked again on every load, answered with "not modified" while unchanged.
        headers = {"etag": etag, "cache-control": "no-cache"}
        if etag in request.headers.get("if-none-match", ""):
            return Response(status_code=304, headers=headers)
        return Response(body, media_type=media_type, headers=headers)

    async def serve(self, request: Request) -> Response:
        return self.response(request.path_params["name"], request)

    async def index(self, request: Request) -> Response:
        return self.response("index.html", request)
