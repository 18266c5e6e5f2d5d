"""Subjects and helpers for the tests of `vesker dump --pid`: a small service to
dump, a client that keeps asking it, and vesker run as a command."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import textwrap
import threading
import time
from typing import Any

import vesker

PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)
PYENV = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv")) / "versions"


def interpreter(version: str) -> str | None:
    """The newest CPython `version` ("3.12") on this machine, pyenv's first."""
    for candidate in sorted(PYENV.glob(version + ".*"), reverse=True):
        executable = candidate / "bin" / ("python" + version)
        if executable.exists():
            return str(executable)
    return shutil.which("python" + version)

# A small service: a thread grows a cache, asyncio tasks tick, the main thread runs the event
# loop and answers "state" with what the dump must leave alone.
SERVER = textwrap.dedent(
    """
    import asyncio, gc, json, sys, threading, time

    class Entry:
        def __init__(self, key):
            self.key = key
            self.payload = ["payload-" + key]

    CACHE = {}
    FROZEN = ["frozen-marker"]
    gc.freeze()

    def grow():
        number = 0
        while True:
            CACHE["k%d" % number] = Entry("k%d" % number)
            number += 1
            time.sleep(0.001)

    def state():
        gc.collect()  # the dumper's classes, like any, are cycles the collector frees
        leftovers = [o for o in gc.get_objects()
                     if "vesker" in str(getattr(o, "__module__", None) or "")]
        return {"gc": [gc.isenabled(), gc.get_threshold()], "path": sys.path,
                "modules": sorted(sys.modules), "switch": sys.getswitchinterval(),
                "leftovers": len(leftovers), "cache": len(CACHE)}

    async def tick():
        while True:
            await asyncio.sleep(0.005)

    async def answer(reader, writer):
        while line := await reader.readline():
            reply = state() if line.strip() == b"state" else {"pong": len(CACHE)}
            writer.write(json.dumps(reply).encode() + b"\\n")
            await writer.drain()
        writer.close()

    async def main():
        threading.Thread(target=grow, daemon=True).start()
        tasks = [asyncio.create_task(tick()) for _ in range(3)]
        server = await asyncio.start_server(answer, "127.0.0.1", 0)
        print(server.sockets[0].getsockname()[1], flush=True)
        await server.serve_forever()

    asyncio.run(main())
    """
)


def vesker_command(*arguments: str, env: dict[str, str] | None = None,
                   user: int | None = None) -> subprocess.CompletedProcess[str]:
    environment = dict(os.environ if env is None else env, PYTHONPATH=PACKAGE_PARENT)
    return subprocess.run(
        [sys.executable, "-m", "vesker", *arguments], capture_output=True, text=True,
        env=environment, timeout=60, user=user,
    )


def start(code: str, *options: str, env: dict[str, str] | None = None,
          executable: str = sys.executable) -> subprocess.Popen[str]:
    process = subprocess.Popen(
        [executable, *options, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env=dict(os.environ, **(env or {})),
    )
    assert process.stdout is not None
    process.stdout.readline()  # every subject prints one line once it is ready
    return process


def stop(process: subprocess.Popen[str]) -> str:
    process.kill()
    _, errors = process.communicate(timeout=10)
    return errors


def start_server(executable: str = sys.executable, **options: Any
                 ) -> tuple[subprocess.Popen[str], int]:
    process = subprocess.Popen([executable, "-c", SERVER], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, **options)
    assert process.stdout is not None
    return process, int(process.stdout.readline())


def ask(port: int, question: bytes) -> Any:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(question + b"\n")
        return json.loads(connection.makefile("rb").readline())


class Client:
    """Asks the server all the time, as its users would, and counts its answers."""

    def __init__(self, port: int) -> None:
        self.connection = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.reader = self.connection.makefile("rb")
        self.answers = 0
        self.running = True
        self.thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        while self.running:
            self.connection.sendall(b"ping\n")
            assert "pong" in json.loads(self.reader.readline())
            self.answers += 1
            time.sleep(0.002)

    def __enter__(self) -> Client:
        self.thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.running = False
        self.thread.join()
        self.connection.close()


def read_dump(path: pathlib.Path) -> dict[int, dict[str, Any]]:
    with open(path, encoding="utf-8") as handle:
        return {record["id"]: record for record in map(json.loads, handle)}
