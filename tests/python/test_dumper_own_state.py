"""The dump holds the program's heap and nothing of the dumper's own state."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from attach_subjects import interpreter

import vesker

PACKAGE_PARENT = str(pathlib.Path(vesker.__file__).parent.parent)

# Dumps with a second thread running, then lists the dump's roots (records that no record
# refers to) that are no longer alive once the dump is over and garbage is collected: those
# were kept alive by the dumper alone. Garbage from before the dump is collected first, and the
# objects alive afterwards are held while their ids are compared, so no id is reused meanwhile.
SCRIPT = textwrap.dedent(
    """
    import gc, json, sys, threading
    from vesker.dumper import dump_heap

    if sys.argv[2] == "disabled":
        gc.disable()
    KEPT = {"kept": [1, 2, 3]}
    started, stop = threading.Event(), threading.Event()
    def worker():
        local_list = ["worker"]
        started.set()
        stop.wait()
    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    gc.collect()
    dump_heap(sys.argv[1])
    gc.collect()
    alive = gc.get_objects()
    alive.extend(sys.modules.values())
    for top in sys._current_frames().values():
        while top is not None:
            alive.append(top)
            top = top.f_back
    alive_ids = set(map(id, alive))
    records = [json.loads(line) for line in open(sys.argv[1])]
    referred = {ref for record in records for ref in record["references"]}
    gone = [(r["type"], len(r["references"])) for r in records
            if r["id"] not in referred and r["id"] not in alive_ids]
    print(json.dumps(gone))
    stop.set()
    thread.join()
    """
)


@pytest.mark.parametrize("collector", ["enabled", "disabled"])
def test_no_root_of_the_dump_is_the_dumpers_own(tmp_path: pathlib.Path, collector: str) -> None:
    script = tmp_path / "program.py"
    script.write_text(SCRIPT)
    completed = subprocess.run(
        [sys.executable, str(script), str(tmp_path / "heap.jsonl"), collector],
        capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
    )
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == []


# An echo server dumped in place from its own handler, between awaits on futures, while the
# client keeps sending. A dump that disturbs the event loop's C-level state ends the process
# (or hangs it: the address space is bounded so that a runaway walk fails fast).
ASYNCIO_SCRIPT = textwrap.dedent(
    """
    import asyncio, resource, sys
    from vesker.dumper import dump_heap

    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    dangling = []

    async def echo(reader, writer):
        while line := await reader.readline():
            if line == b"dump\\n":
                dangling.append(dump_heap(sys.argv[1], names=True).dangling)
            writer.write(line)
            await writer.drain()
        writer.close()

    async def main():
        server = await asyncio.start_server(echo, "127.0.0.1", 0)
        reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
        for number in range(60):
            writer.write(b"dump\\n" if number % 20 == 10 else b"ping\\n")
            await writer.drain()
            assert await reader.readline()
            await asyncio.sleep(0)
        writer.close()
        server.close()
        await server.wait_closed()
        print(dangling)

    asyncio.run(main())
    """
)


@pytest.mark.parametrize("version", ["3.12", "own"])
def test_in_place_dumps_leave_an_asyncio_server_running(tmp_path: pathlib.Path,
                                                        version: str) -> None:
    executable = sys.executable if version == "own" else interpreter(version)
    if executable is None:
        pytest.skip(f"no CPython {version} on this machine")
    completed = subprocess.run(
        [executable, "-c", ASYNCIO_SCRIPT, str(tmp_path / "heap.jsonl")], capture_output=True,
        text=True, timeout=60, env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert completed.stdout.split("\n")[0] == "[0, 0, 0]"
