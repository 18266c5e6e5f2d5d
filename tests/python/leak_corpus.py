"""Leaks built on real standard-library behaviour, dumped three times in one mode.

    python leak_corpus.py OUT MODE [LEAK REQUESTS]

grows every leak (or LEAK alone, by REQUESTS requests a step), dumps (MODE: in-process, native, fork, signal, attach, exit), compares
what the program itself can observe before and after each dump, and prints one JSON line:
{"pid": ..., "changed": [...], "dumps": [paths]}.  In "attach" mode it waits for
OUT/ready-N to be answered by OUT/dumped-N (the dump is taken from outside); in "exit" mode
`vesker dump` runs it and dumps once at the end.
"""

import array
import asyncio
import functools
import gc
import json
import logging
import logging.handlers
import os
import signal
import sys
import threading
import time
import warnings
from unittest import mock

OUT, MODE = sys.argv[1], sys.argv[2]
ONLY = sys.argv[3] if len(sys.argv) > 3 else None
REQUESTS = int(sys.argv[4]) if len(sys.argv) > 4 else 40

CLIENT = mock.MagicMock()
RECORDER = mock.Mock()
BUFFERS = []
HANDLER = logging.handlers.MemoryHandler(capacity=10 ** 6, flushLevel=logging.CRITICAL + 1)
ERRORS = logging.getLogger("corpus.errors")
ERRORS.addHandler(HANDLER)
ERRORS.propagate = False
LOOP = asyncio.new_event_loop()
FOREVER = LOOP.create_future()


class Service:
    @functools.lru_cache(maxsize=None)
    def lookup(self, key):
        return ["looked-up"] * 8 + [key]


SERVICE = Service()


@functools.lru_cache(maxsize=REQUESTS)
def rendered(n):
    # Not a leak: it keeps the last REQUESTS results, as much as one step of BUFFERS.
    return array.array("d", bytes(8 * 1024))


def on_done(payload, future):
    return payload


def warn(text):
    warnings.warn(text, UserWarning)


def grows(leak):
    return ONLY == leak or (ONLY is None and leak != "bounded cache")


def request(n):
    if grows("warnings registry"):
        warn("request %d" % n)
    if grows("mock calls"):
        CLIENT.send({"request": n})
        RECORDER(n)
    if grows("lru_cache on a method"):
        SERVICE.lookup(n)
    if grows("per-request logger"):
        logging.getLogger("request.%d" % n).setLevel(logging.INFO)
    if grows("record in a handler"):
        try:
            raise ValueError("request %d failed" % n)
        except ValueError:
            ERRORS.exception("request %d", n)
    if grows("done-callback"):
        FOREVER.add_done_callback(functools.partial(on_done, ["callback payload"] * 4))
    if grows("buffer without traversal"):
        BUFFERS.append(array.array("d", bytes(8 * 1024)))
    if grows("bounded cache"):
        rendered(n)


def observed():
    """What the program sees of its own state; a dump must change none of it."""
    warn("request 0")  # already warned: a registry that was kept stays as it is
    return {
        "registry": len(globals().get("__warningregistry__", {})),
        "mock calls": [len(CLIENT.mock_calls), CLIENT.send.call_count, len(CLIENT._mock_children),
                       RECORDER.call_count, len(RECORDER.mock_calls)],
        "lru": SERVICE.lookup.cache_info().currsize,
        "loggers": len(logging.Logger.manager.loggerDict),
        "records": len(HANDLER.buffer),
        "callbacks": len(FOREVER._callbacks or ()),
        "buffers": len(BUFFERS),
        "modules": sorted(sys.modules),
        "path": list(sys.path),
        "gc": [gc.isenabled(), gc.get_threshold()],
        "signals": [str(signal.getsignal(s)) for s in (signal.SIGINT, signal.SIGTERM)],
        "filters": len(warnings.filters),
    }


def wait_for(predicate):
    deadline = time.monotonic() + 60
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def dump(step):
    path = os.path.join(OUT, "d%d.jsonl" % step)
    if MODE in ("in-process", "native"):
        from vesker import dumper
        dumper.dump_heap(path, names=True, native=MODE == "native")
    elif MODE == "fork":
        from vesker import dumper
        child = dumper.fork_dump(path, distinct=False, reap=False)
        os.waitpid(child, 0)
    elif MODE == "signal":
        before = set(os.listdir(OUT))
        os.kill(os.getpid(), signal.SIGUSR2)
        wait_for(lambda: [n for n in set(os.listdir(OUT)) - before if n.endswith(".jsonl")])
        (name,) = [n for n in set(os.listdir(OUT)) - before if n.endswith(".jsonl")]
        path = os.path.join(OUT, name)
    elif MODE == "attach":
        with open(os.path.join(OUT, "ready-%d" % step), "w") as handle:
            handle.write(path)
        wait_for(lambda: os.path.exists(os.path.join(OUT, "dumped-%d" % step)))
    return path


def tick():
    # A second thread that keeps asking for the interpreter lock, as a server's do.
    while True:
        time.sleep(0.0005)


def main():
    threading.Thread(target=tick, daemon=True).start()
    warnings.simplefilter("default")  # the program's own choice, made before any dump
    if MODE not in ("attach", "exit"):
        from vesker import dumper
        dumper.native_walker_available()  # the program loads what its dumps need first
    if MODE == "signal":
        dumper.install(signal.SIGUSR2, os.path.join(OUT, "heap.jsonl"), report=None)
    changed, dumps = [], []
    for step in range(3 if MODE != "exit" else 1):
        for n in range(step * REQUESTS, (step + 1) * REQUESTS):
            request(n)
        if MODE == "exit":
            break
        before = observed()
        dumps.append(dump(step))
        after = observed()
        changed.extend(key for key in before if before[key] != after[key])
    print(json.dumps({"pid": os.getpid(), "changed": changed, "dumps": dumps}))


main()
