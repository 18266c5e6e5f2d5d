"""Small leaks, and a bounded cache that does not leak, each dumped three times by one process.

    python leak_programs.py OUT CASE

grows CASE three times and after each step dumps the heap with names to OUT/dump-N.jsonl.
"""

import logging
import logging.handlers
import os
import sys

from vesker.dumper import dump_heap

OUT, CASE = sys.argv[1], sys.argv[2]
STEP = 1500  # objects a step adds, about 2 MiB


class Record:
    def __init__(self, n):
        self.n = n
        self.payload = bytes(1200) + str(n).encode()


LEAKED = []
HANDLER = logging.handlers.MemoryHandler(capacity=10**6, flushLevel=logging.CRITICAL + 1)
ERRORS = logging.getLogger("errors")
ERRORS.addHandler(HANDLER)
ERRORS.propagate = False
LISTENERS = {}
CACHE = {}
CACHE_SIZE = 4000


def grow(step):
    for n in range(step * STEP, (step + 1) * STEP):
        if CASE == "list":
            LEAKED.append(Record(n))
        elif CASE == "handler":
            ERRORS.error("request %d failed: %s", n, "x" * 1200)
        elif CASE == "listeners":
            payload = Record(n)
            LISTENERS["listener-%d" % n] = lambda payload=payload: payload.n
    if CASE == "cache":
        # The same number of entries of the same size in every dump; older keys are evicted.
        for n in range(step * CACHE_SIZE, (step + 1) * CACHE_SIZE):
            CACHE["key-%d" % n] = Record(n % 1000)
            if len(CACHE) > CACHE_SIZE:
                del CACHE[next(iter(CACHE))]


for step in range(3):
    grow(step)
    dump_heap(os.path.join(OUT, "dump-%d.jsonl" % step), names=True, meta=True)
