"""Dump a running process and measure how long it stops answering.

A target process builds a heap of about --objects objects (records with
string keys, lists of numbers and strings, instances, a cache on top) and runs
a thread that ticks every millisecond; the longest gap between two ticks
during a dump is the target's longest stall.  Each mode dumps the same target:

    fork          vesker.dumper.fork_dump with names: the target pauses to fork, a copy writes
    python        vesker.dumper.dump_heap in the target (the reference dumper), no names
    python-names  the same with the names of references
    native        the native walker in the target, where it is built, no names
    native-names  the native walker with names
    attach        `vesker dump --pid` from outside (CPython 3.14), fork mode

Prints, per mode: the longest stall, the dump's objects/s and bytes/object (in-process
modes also per second of the target's processor time, which other work on the machine
disturbs less than the elapsed time); then what names cost the native walker (target:
at most 20 % of its speed) and the fork stall beside the fork's own time (target: at
most 100 ms more).
Run with the package importable:

    python bench/python/live_dump_benchmark.py [--objects 2000000] [--modes fork,python,...]

Figures vary with the machine's load; nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

TARGET = textwrap.dedent(
    """
    import gc, json, os, select, sys, threading, time
    import vesker.dumper as dumper
    dumper.native_walker_available()  # loaded before any dump, as a program would

    class Order:
        def __init__(self, number):
            self.number = number
            self.lines = [float(number), str(number), number * 3]
            self.meta = {"customer": "c" + str(number % 5000), "items": (number, number + 1)}

    target = int(sys.argv[1])
    CACHE = {number: Order(number) for number in range(max(target - 40_000, 0) // 10)}
    gc.collect()
    longest = [0.0]

    def tick():
        last = time.perf_counter()
        while True:
            time.sleep(0.001)
            now = time.perf_counter()
            longest[0] = max(longest[0], now - last)
            last = now

    threading.Thread(target=tick, daemon=True).start()
    print(json.dumps({"pid": os.getpid()}), flush=True)
    def commands():
        # Wakes up every 10 ms, as a server's loop would: a main thread blocked in a read
        # would never run the script that `vesker dump --pid` hands it.
        while True:
            if select.select([sys.stdin], [], [], 0.01)[0]:
                line = sys.stdin.readline()
                if not line:
                    return
                yield line

    for line in commands():
        mode, path = line.split()
        time.sleep(0.1)
        longest[0] = 0.0
        result = {}
        if mode == "fork":
            reader, writer = os.pipe()
            started = time.perf_counter()
            dumper.fork_dump(path, names=True, distinct=False,
                             done=lambda s: os.write(writer, json.dumps(
                                 {"objects": s.objects, "seconds": s.seconds}).encode()))
            result["pause"] = time.perf_counter() - started
            result.update(json.loads(os.read(reader, 4096)))
            os.close(reader)
            os.close(writer)
            # The fork's own time: a bare fork of this heap, the child leaving at once.
            started = time.perf_counter()
            child = os.fork()
            if child == 0:
                os._exit(0)
            result["fork"] = time.perf_counter() - started
            os.waitpid(child, 0)
        elif mode in ("python", "python-names", "native", "native-names"):
            cpu = time.process_time()
            stats = dumper.dump_heap(path, native=mode.startswith("native"),
                                     names=mode.endswith("names"))
            result = {"objects": stats.objects, "seconds": stats.seconds,
                      "cpu": time.process_time() - cpu}
        elif mode == "wait":  # an outside dump runs meanwhile; the driver says when it is done
            next(commands())
        time.sleep(0.1)
        result["stall"] = longest[0]
        print(json.dumps(result), flush=True)
    """
)


def run(objects: int, modes: list[str]) -> None:
    env = dict(os.environ)
    process = subprocess.Popen(
        [sys.executable, "-c", TARGET, str(objects)], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, text=True, env=env,
    )
    assert process.stdin is not None and process.stdout is not None
    built = time.perf_counter()
    pid = json.loads(process.stdout.readline())["pid"]
    print(f"target of ~{objects:,} objects built in {time.perf_counter() - built:.1f}s "
          f"(pid {pid}, Python {sys.version.split()[0]})")
    rates: dict[str, float] = {}
    cpu_rates: dict[str, float] = {}
    with tempfile.TemporaryDirectory() as directory:
        try:
            for mode in modes:
                path = os.path.join(directory, mode + ".jsonl")
                if mode == "attach":
                    process.stdin.write(f"wait {path}\n")
                    process.stdin.flush()
                    time.sleep(0.2)
                    started = time.perf_counter()
                    completed = subprocess.run(
                        [sys.executable, "-m", "vesker", "dump", "--pid", str(pid),
                         "-o", path], capture_output=True, text=True, env=env,
                    )
                    elapsed = time.perf_counter() - started
                    process.stdin.write("done\n")
                    process.stdin.flush()
                    result = json.loads(process.stdout.readline())
                    if completed.returncode != 0:
                        print(f"{mode:>7}: failed: {completed.stderr.strip()}")
                        continue
                    count = sum(1 for _ in open(path, "rb"))
                    result.update(objects=count, seconds=elapsed)
                else:
                    process.stdin.write(f"{mode} {path}\n")
                    process.stdin.flush()
                    result = json.loads(process.stdout.readline())
                size = os.path.getsize(path)
                rate = result["objects"] / result["seconds"] if result["seconds"] else 0.0
                rates[mode] = rate
                cpu = ""
                if result.get("cpu"):
                    cpu_rates[mode] = result["objects"] / result["cpu"]
                    cpu = f" ({cpu_rates[mode]:,.0f} per processor second)"
                pause = (f", fork pause {result['pause'] * 1000:.0f} ms (bare fork "
                         f"{result['fork'] * 1000:.0f} ms)") if "pause" in result else ""
                print(f"{mode:>12}: longest stall {result['stall'] * 1000:8.1f} ms{pause}; "
                      f"{result['objects']:,} objects in {result['seconds']:.2f}s = "
                      f"{rate:,.0f} objects/s{cpu}; {size / max(result['objects'], 1):.0f} bytes/object")
                if "fork" in result:
                    over = (result["stall"] - result["fork"]) * 1000
                    print(f"{'':>12}  fork stall beyond the bare fork: {over:.1f} ms (target: at most 100 ms)")
                os.unlink(path)
            if rates.get("native") and rates.get("native-names"):
                cost = 1 - rates["native-names"] / rates["native"]
                by_cpu = ""
                if cpu_rates.get("native") and cpu_rates.get("native-names"):
                    by_cpu = f" ({1 - cpu_rates['native-names'] / cpu_rates['native']:.0%} by processor time)"
                print(f"{'':>12}  names cost the native walker {cost:.0%} of its speed{by_cpu} "
                      "(target: at most 20 %)")
        finally:
            process.kill()
            process.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, action="append",
                        help="heap size of the target (repeatable; default 2000000)")
    parser.add_argument("--modes", default="native,native-names,python-names,fork,attach",
                        help="comma-separated modes (default: all available)")
    args = parser.parse_args()
    modes = args.modes.split(",")
    from vesker.dumper import native_walker_available

    if not native_walker_available():
        for mode in ("native", "native-names"):
            if mode in modes:
                print(f"{mode}: the native walker is not built for this interpreter: skipped")
                modes.remove(mode)
    if "attach" in modes and not hasattr(sys, "remote_exec"):
        print("attach needs CPython 3.14: skipped")
        modes.remove("attach")
    for objects in args.objects or [2_000_000]:
        run(objects, modes)


if __name__ == "__main__":
    main()
