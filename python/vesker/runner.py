"""Run a Python script as `__main__` and dump its heap."""

from __future__ import annotations

import builtins
import gc
import os
import signal
import sys
import traceback
import types
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from vesker.dumper import DumpStats, allocation_frames, dump_heap, fork_dump, native_walker_available


class ScriptError(Exception):
    """The script could not be started (missing, unreadable, not Python)."""


@dataclass
class ScriptOutcome:
    exit_code: int
    dumps: list[DumpStats]


def parse_signal(name: str) -> signal.Signals:
    """A signal from its name ("USR1", "SIGUSR1") or number; ValueError otherwise."""
    text = name.strip().upper()
    if text.isdigit():
        return signal.Signals(int(text))
    if not text.startswith("SIG"):
        text = "SIG" + text
    try:
        return signal.Signals[text]
    except KeyError:
        raise ValueError(f"unknown signal: {name!r}") from None


def start_tracing(frames: int) -> None:
    """Start tracemalloc with `frames` frames per allocation, unless it already traces
    (the program's or PYTHONTRACEMALLOC's choice of frames is kept)."""
    import tracemalloc

    if not tracemalloc.is_tracing():
        tracemalloc.start(frames)


def _exit_code(exit: SystemExit) -> int:
    code = exit.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _compile(path: str) -> types.CodeType:
    try:
        with open(path, "rb") as handle:
            source = handle.read()
    except OSError as error:
        raise ScriptError(f"cannot read script {path!r}: {error.strerror}") from None
    try:
        return compile(source, path, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        detail = "".join(traceback.format_exception_only(error)).rstrip()
        raise ScriptError(f"cannot compile script {path!r}:\n{detail}") from None


def run_script(
    script: str,
    arguments: Sequence[str],
    output: str,
    *,
    dump_signal: signal.Signals | None = None,
    report: Callable[[DumpStats], None] | None = None,
    started: Callable[[int], None] | None = None,
    waiting: Callable[[list[int]], None] | None = None,
    fork: bool = True,
    names: bool = True,
    trace_allocations: int | None = None,
) -> ScriptOutcome:
    """Run `script` like `python script args...` and dump the heap to `output`.

    Without `dump_signal` the heap is dumped once, when the script's code has
    finished (also after an uncaught exception or sys.exit), while its module
    namespace is still alive.  With `dump_signal` the heap is dumped each time
    the process receives that signal, and not at the end, each dump under its
    own name (`output` with a time stamp, claimed with O_EXCL); with `fork`
    from a forked copy, so that the script pauses only for the fork:
    `started` gets the copy's pid, `report` is called in the copy when its
    dump is complete, and before returning this waits for every copy still
    writing (`waiting` gets their pids first).  `names` adds the names of
    references; the identity sidecar is always written.  Objects made before
    the script started (this runner's, the command line's) are no roots of
    the dump.  `trace_allocations` starts tracemalloc with that many frames
    just before the script's first line, so that the dump records where its
    objects were allocated.
    """
    path = os.path.abspath(script)
    code = _compile(path)
    main = types.ModuleType("__main__")
    main.__file__ = path
    main.__builtins__ = builtins  # type: ignore[attr-defined]
    main.__cached__ = None  # type: ignore[attr-defined]

    dumps: list[DumpStats] = []
    children: list[int] = []

    not_roots: set[int] = set()

    def dump() -> None:
        # At the end the program is done, so instance dictionaries may be created to
        # name attributes.
        stats = dump_heap(output, names=names, meta=True, materialize=True, mode="exit", native=native,
                          _roots=not_roots)
        dumps.append(stats)
        if report is not None:
            report(stats)

    def dump_on_signal() -> None:
        if fork and hasattr(os, "fork"):
            child = fork_dump(output, names=names, meta=True, done=report, mode="signal",
                              reap=False, _roots=not_roots)
            children.append(child)
            if started is not None:
                started(child)
            return
        stats = dump_heap(output, names=names, meta=True, distinct=True, mode="signal", native=native,
                          _roots=not_roots)
        dumps.append(stats)
        if report is not None:
            report(stats)

    dumping = False

    def on_signal(signum: int, frame: types.FrameType | None) -> None:
        nonlocal dumping
        if dumping:
            return
        dumping = True
        try:
            dump_on_signal()
        finally:
            dumping = False

    previous_main = sys.modules.get("__main__")
    sys.modules["__main__"] = main
    sys.argv = [path, *arguments]
    sys.path.insert(0, os.path.dirname(path))
    if dump_signal is not None:
        signal.signal(dump_signal, on_signal)

    # Traced, the dumps walk natively where the native walker is built: tracemalloc traces
    # the Python walk's own allocations too, which makes it ten times slower or more. Loaded
    # before the script, the walker is none of the script's objects.
    native = (trace_allocations is not None or allocation_frames() is not None) and native_walker_available()
    # Held, so that no address of these is given to an object of the script.
    before = gc.get_objects()
    not_roots.update(map(id, before))
    not_roots.update((id(before), id(not_roots)))
    failure: str | None = None
    if trace_allocations is not None:
        # Last before the script: what the runner made has no site of the program's.
        start_tracing(trace_allocations)
    try:
        exec(code, main.__dict__)
        exit_code = 0
    except SystemExit as exit:
        exit_code = _exit_code(exit)
    except BaseException as error:
        # Report the script's own frames only, not this runner's.
        script_frames = error.__traceback__.tb_next if error.__traceback__ else None
        failure = "".join(traceback.format_exception(type(error), error, script_frames))
        exit_code = 1
        del error
    if dump_signal is not None:
        signal.signal(dump_signal, signal.SIG_DFL)
    else:
        dump()
    if failure is not None:
        sys.stderr.write(failure)
    if previous_main is not None:
        sys.modules["__main__"] = previous_main
    _wait_for(children, waiting)
    del before
    return ScriptOutcome(exit_code, dumps)


def _wait_for(children: list[int], waiting: Callable[[list[int]], None] | None) -> None:
    """Wait for the forked copies still writing their dumps."""
    running = []
    for child in children:
        try:
            done, _ = os.waitpid(child, os.WNOHANG)
        except ChildProcessError:
            continue  # the script reaped it
        if done == 0:
            running.append(child)
    if running and waiting is not None:
        waiting(running)
    for child in running:
        try:
            os.waitpid(child, 0)
        except ChildProcessError:
            pass
