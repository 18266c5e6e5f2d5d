"""`vesker dump`: the heap of a script vesker runs, or of a running process."""

from __future__ import annotations

import argparse
import os
import sys

from vesker.cli.arguments import Commands, command, file_mode, positive, seconds
from vesker.formatting import format_bytes
from vesker.store import UserError
from vesker.store_health import is_disk_full, storage_failure


def register(commands: Commands) -> None:
    dump = command(
        commands, "dump", _cmd_dump,
        help="dump the heap of a Python script or of a running process",
        description="Run SCRIPT as __main__ with ARGS and write its heap as JSON Lines: "
        "when the script ends, or each time the process receives --signal. Or, with --pid, "
        "dump a running CPython 3.9 to 3.14 process (3.14 from vesker on the same version). "
        "Beside each dump, "
        "FILE.meta.json records the process, the Python version, the host and the time.",
    )
    dump.add_argument("-o", "--output", help="dump file (default: SCRIPT's name + .heap.jsonl, "
                      "or heap-PID-TIME.jsonl; a name ending in .gz is compressed); with --signal "
                      "each dump's name gets a time stamp")
    dump.add_argument("--signal", metavar="SIG",
                      help="dump when the process receives SIG (e.g. USR1) instead of at the end")
    dump.add_argument("--pid", type=positive, metavar="PID",
                      help="dump the running process PID instead of running a script")
    dump.add_argument("--no-fork", dest="fork", action="store_false",
                      help="with --pid or --signal: dump inside the process, which then pauses "
                      "for the whole dump, instead of from a forked copy")
    dump.add_argument("--force", action="store_true",
                      help="replace an existing dump given with -o (never done otherwise)")
    dump.add_argument("--no-names", dest="names", action="store_false",
                      help="leave the names of references (attributes, keys, indices) out")
    dump.add_argument("--trace-allocations", nargs="?", const="1", metavar="N",
                      help="with SCRIPT: start tracemalloc with N frames (default 1) before the "
                      "script runs, so that the dump records where each object was allocated; "
                      "an allocation-bound program runs several times slower")
    dump.add_argument("--timeout", type=seconds, default=10.0, metavar="SECONDS",
                      help="with --pid: how long to wait for the process to start the dump "
                      "(default 10)")
    dump.add_argument("--mode", type=file_mode, default=0o600, metavar="OCTAL",
                      help="with --pid: permissions of the dump and its sidecar (default 600, "
                      "whatever the umask)")
    dump.add_argument("script", nargs="?", help="the Python script to run")
    dump.add_argument("arguments", nargs=argparse.REMAINDER, help="arguments for the script")


def _allocation_frames(args: argparse.Namespace) -> int | None:
    """The frames of --trace-allocations[=N]; `--trace-allocations app.py` gave the script as N."""
    given = args.trace_allocations
    if given is None:
        return None
    if not given.isdigit():
        if args.script is not None:
            args.arguments = [args.script, *args.arguments]
        args.script = given
        return 1
    if int(given) < 1:
        raise UserError("--trace-allocations needs at least 1 frame")
    return int(given)


def _cmd_dump(args: argparse.Namespace) -> int:
    args.trace_allocations = _allocation_frames(args)
    if args.pid is not None and args.trace_allocations is not None:
        raise UserError("--trace-allocations starts tracing in a script vesker runs; a running "
                        "process that traces already gets its sites in a --pid dump")
    if args.pid is not None:
        if args.script is not None or args.signal is not None:
            raise UserError("--pid dumps a running process: give no SCRIPT and no --signal")
        return _dump_pid(args)
    if args.script is None:
        raise UserError("give a SCRIPT to run, or --pid PID of a running process")
    return _dump_script(args)


def _dump_pid(args: argparse.Namespace) -> int:
    from vesker.attach import AttachError, dump_pid
    from vesker.progress import Count

    written = Count("objects written", sys.stderr, sys.stderr.isatty())
    try:
        outcome = dump_pid(args.pid, args.output, fork=args.fork, names=args.names,
                           timeout=args.timeout, mode=args.mode, replace=args.force, report=written.update)
    except AttachError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        cause = storage_failure(error) if is_disk_full(error) else error.strerror or error
        raise UserError(f"cannot dump process {args.pid}: {cause}") from None
    finally:
        written.clear()
    print(
        f"vesker: dumped {outcome.objects:,} objects ({format_bytes(outcome.bytes_written)}) "
        f"of process {args.pid} to {outcome.path} in {outcome.seconds:.1f}s, complete"
        f"{_without_record(outcome.dangling)}",
        file=sys.stderr,
    )
    return 0


def _without_record(dangling: int) -> str:
    """What a dump line adds when references of the dump have no record."""
    return (f"; {dangling:,} references without a record: the dump is incomplete"
            if dangling else "")


def _dump_script(args: argparse.Namespace) -> int:
    from vesker.dumper import DumpStats
    from vesker.runner import ScriptError, parse_signal, run_script

    if not os.path.isfile(args.script):
        raise UserError(f"script {args.script!r} does not exist")
    dump_signal = None
    if args.signal is not None:
        try:
            dump_signal = parse_signal(args.signal)
        except ValueError as error:
            raise UserError(str(error)) from None
    output = args.output or os.path.splitext(os.path.basename(args.script))[0] + ".heap.jsonl"
    output_dir = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(output_dir):
        raise UserError(f"output directory {output_dir!r} does not exist")

    if dump_signal is None and os.path.lexists(output) and not args.force:
        raise UserError(f"{output!r} exists; give --force to replace it, or -o another name")

    def report(stats: DumpStats) -> None:
        print(
            f"vesker: dumped {stats.objects:,} objects ({format_bytes(stats.bytes_written)}) "
            f"to {stats.path} in {stats.seconds:.1f}s, complete{_without_record(stats.dangling)}",
            file=sys.stderr, flush=True,
        )

    def started(child: int) -> None:
        print(f"vesker: process {child} is writing a dump of process {os.getpid()} "
              "(a line follows when it is complete)", file=sys.stderr, flush=True)

    def waiting(children: list[int]) -> None:
        print(f"vesker: waiting for {len(children)} dump(s) still being written "
              f"(process {', '.join(map(str, children))})", file=sys.stderr, flush=True)

    if dump_signal is not None:
        print(
            f"vesker: send {dump_signal.name} to process {os.getpid()} to dump its heap",
            file=sys.stderr,
        )
    try:
        outcome = run_script(
            args.script, args.arguments, output, dump_signal=dump_signal, report=report,
            started=started, waiting=waiting, fork=args.fork, names=args.names,
            trace_allocations=args.trace_allocations,
        )
    except ScriptError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot write dump {output!r}: {error.strerror or error}") from None
    return outcome.exit_code
