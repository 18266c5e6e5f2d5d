"""`vesker dump --pid` of CPython 3.9-3.13 targets: the target's longest stall.

For each interpreter asked for (default: 3.11 and 3.13 from pyenv), a target
builds a heap of about --objects objects (orders with a list and a dict each,
in a cache) and runs a thread that ticks every millisecond; the longest gap
between two ticks is the target's longest stall.  vesker, running on the
interpreter that runs this script, dumps it through a pending call:

    fork       the default: the target pauses to fork, a copy writes the dump
    no-fork    the dump is written in the target, which pauses for all of it

Beside them, the target times a bare `os.fork()` of itself (the floor of the
forked dump's stall; the target is a stall at most 100 ms above it).  Prints,
per interpreter and mode: the longest stall, the fork's own time, the time
vesker took from start to a complete dump, and objects/s.

    python bench/python/attach_benchmark.py [--objects 2000000] [--python 3.11 --python 3.13]
        [--modes fork,no-fork]

Figures vary with the machine's load; nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import time

TARGET = textwrap.dedent(
    """
    import gc, json, os, select, sys, threading, time

    class Order:
        def __init__(self, number):
            self.number = number
            self.lines = [float(number), str(number), number * 3]
            self.meta = {"customer": "c" + str(number % 5000), "items": (number, number + 1)}

    CACHE = {number: Order(number) for number in range(max(int(sys.argv[1]) - 40_000, 0) // 10)}
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
    while True:  # a server's loop: back in Python every 10 ms
        if not select.select([sys.stdin], [], [], 0.01)[0]:
            continue
        command = sys.stdin.readline().strip()
        if not command:
            break
        if command == "reset":
            time.sleep(0.1)
            longest[0] = 0.0
            print("{}", flush=True)
        elif command == "stall":
            time.sleep(0.1)
            print(json.dumps({"stall": longest[0]}), flush=True)
        elif command == "fork":
            started = time.perf_counter()
            child = os.fork()
            if child == 0:
                os._exit(0)
            elapsed = time.perf_counter() - started
            os.waitpid(child, 0)
            print(json.dumps({"fork": elapsed}), flush=True)
    """
)


def interpreter(version: str) -> str | None:
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv")) / "versions"
    for candidate in sorted(root.glob(version + ".*"), reverse=True):
        if (candidate / "bin" / ("python" + version)).exists():
            return str(candidate / "bin" / ("python" + version))
    return None


def ask(process: subprocess.Popen[str], command: str) -> dict[str, float]:
    assert process.stdin is not None and process.stdout is not None
    process.stdin.write(command + "\n")
    process.stdin.flush()
    answer: dict[str, float] = json.loads(process.stdout.readline())
    return answer


def run(executable: str, objects: int, modes: list[str]) -> None:
    process = subprocess.Popen([executable, "-W", "ignore::DeprecationWarning", "-c", TARGET,
                                str(objects)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    built = time.perf_counter()
    pid = json.loads(process.stdout.readline())["pid"]
    version = subprocess.run([executable, "--version"], capture_output=True,
                             text=True).stdout.split()[-1]
    print(f"Python {version} target of ~{objects:,} objects built in "
          f"{time.perf_counter() - built:.1f}s (pid {pid}); vesker on Python "
          f"{sys.version.split()[0]}")
    try:
        forks = sorted(ask(process, "fork")["fork"] for _ in range(5))
        fork = forks[len(forks) // 2]
        print(f"  bare fork of the target: median {fork * 1000:.1f} ms "
              f"(min {forks[0] * 1000:.1f}, max {forks[-1] * 1000:.1f})")
        with tempfile.TemporaryDirectory() as directory:
            for mode in modes:
                path = os.path.join(directory, mode + ".jsonl")
                ask(process, "reset")
                started = time.perf_counter()
                completed = subprocess.run(
                    [sys.executable, "-m", "vesker", "dump", "--pid", str(pid), "--no-names",
                     "-o", path, *(["--no-fork"] if mode == "no-fork" else [])],
                    capture_output=True, text=True)
                elapsed = time.perf_counter() - started
                stall = ask(process, "stall")["stall"]
                if completed.returncode != 0:
                    print(f"  {mode:>7}: failed: {completed.stderr.strip()}")
                    continue
                count = sum(1 for _ in open(path, "rb"))
                over = f", {(stall - fork) * 1000:+.1f} ms over the bare fork" \
                    if mode == "fork" else ""
                print(f"  {mode:>7}: longest stall {stall * 1000:8.1f} ms{over}; complete dump "
                      f"in {elapsed:.2f}s ({count:,} objects, {count / elapsed:,.0f} objects/s)")
                os.unlink(path)
                os.unlink(path + ".meta.json")
    finally:
        process.kill()
        process.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=2_000_000,
                        help="heap size of each target (default 2000000)")
    parser.add_argument("--python", action="append",
                        help="target interpreter version, from pyenv (repeatable; default 3.11 "
                        "and 3.13)")
    parser.add_argument("--modes", default="fork,no-fork", help="comma-separated modes")
    args = parser.parse_args()
    for version in args.python or ["3.11", "3.13"]:
        executable = interpreter(version)
        if executable is None:
            print(f"Python {version}: not found under pyenv, skipped")
            continue
        run(executable, args.objects, args.modes.split(","))


if __name__ == "__main__":
    main()
