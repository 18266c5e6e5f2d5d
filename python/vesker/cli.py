"""The `vesker` command: dump a script's heap, import dumps, explore stores.

Exit codes: 0 when the question was answered (also when the answer is "no
path" or "nothing in common"), 1 for errors, 2 for wrong usage.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from vesker import cli_serve
from vesker.cli_diff import add_commands as add_diff_commands
from vesker.formatting import (
    Summary,
    format_bytes,
    format_table,
    precision_note,
    summary_table,
    terminal_width,
)
from vesker.dump_memory import memory_json, memory_sentence
from vesker.store import (
    ALL_TYPES,
    PRECISIONS,
    ImportInterrupted,
    UserError,
    import_dump,
)
from vesker.store_facts import incomplete_dump_note
from vesker.store_health import is_disk_full, storage_failure

if TYPE_CHECKING:
    from vesker.heap import Heap
    from vesker.results import ObjectRow
    from vesker_analysis import HeapDumpExplorer

_MAX_ID = (1 << 64) - 1


def _object_id(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid object id: {text!r}") from None
    if not 0 <= value <= _MAX_ID:
        raise argparse.ArgumentTypeError(f"object id out of range: {text!r}")
    return value


def _at_least(minimum: int, wording: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}: {text!r}")
        return value

    return parse


_positive = _at_least(1, "must be at least 1")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text!r}")
    return value
_non_negative = _at_least(0, "must not be negative")


def _emit_json(data: object) -> None:
    json.dump(data, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _query_error(error: RuntimeError) -> UserError:
    """The extension's failures, phrased for the command line."""
    from vesker.errors import NotComputedError, NotFoundError

    if isinstance(error, NotFoundError):
        return UserError(f"no object with id {error.object_id} in the store")
    if isinstance(error, NotComputedError):
        return UserError(
            f"object {error.object_id} has no subtree size: the store was imported with "
            "--precision none; import the dump again with another precision"
        )
    return UserError(str(error))


# -- dump ---------------------------------------------------------------------


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


def _file_mode(text: str) -> int:
    try:
        mode = int(text, 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an octal file mode: {text!r}") from None
    if not 0 <= mode <= 0o777:
        raise argparse.ArgumentTypeError(f"not a file mode: {text!r}")
    return mode


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


# -- import -------------------------------------------------------------------


def _cmd_import(args: argparse.Namespace) -> int:
    from vesker import retained_sizes
    from vesker.phase_times import PhaseTimes

    # Reference names are facts of the dump, kept whether or not retained sizes are computed now.
    names = retained_sizes.ReferenceNames()
    times = PhaseTimes()
    with times.native():
        stats = import_dump(
            args.dump,
            args.store,
            args.precision,
            append=args.append,
            live=False if args.quiet else None,
            watch=names.watch,
        )
    if args.no_retained:
        retained_sizes.store_names(args.store, names)
    else:
        retained_sizes.compute_retained(args.store, names, sys.stderr, False if args.quiet else sys.stderr.isatty(),
                                      times)
    rate = stats.objects / stats.seconds if stats.seconds > 0 else 0.0
    print(
        f"imported {stats.objects:,} objects into {args.store} "
        f"in {stats.seconds:.1f}s ({rate:,.0f} objects/s)",
        file=sys.stderr,
    )
    print(times.summary(), file=sys.stderr)
    if args.profile:
        times.write_profile(sys.stderr)
    if stats.repeated_ids:
        print(
            f"vesker import: warning: {_count(stats.repeated_ids, 'record')} repeated an id "
            "seen before; "
            "the last record of each id is kept, and listings leave out or mark rows of the "
            "records it replaced",
            file=sys.stderr,
        )
    if stats.dangling_references:
        print(f"vesker import: warning: {incomplete_dump_note(stats.dangling_references)}", file=sys.stderr)
    return 0


def _count(number: int, noun: str) -> str:
    return f"{number:,} {noun}" + ("" if number == 1 else "s")


# -- types --------------------------------------------------------------------


def _cmd_types(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    args.sort_given = args.sort is not None
    args.sort = args.sort or "retained"
    with Heap(args.store) as heap:
        facts = heap.facts
        total = heap.totals()
        fresh = heap.retained_fresh
        if args.sort == "retained" and not fresh:
            if args.sort_given:
                raise UserError(f"store {args.store!r} has no up-to-date retained sizes; "
                                f"compute them with 'vesker retained {args.store}', or use --sort size")
            args.sort = "size"
        types = list(heap.types(args.sort))
    shown = types[: args.limit] if args.limit else types
    if args.json:
        _emit_json(
            {
                "types": [
                    {"type": row.type, "count": row.count, "total_size": row.total_size, "retained": row.retained}
                    for row in shown
                ],
                "sort": args.sort,
                "type_count": len(types),
                "total": None
                if total is None
                else {"count": total.objects, "total_size": total.total_size},
                "precision": facts.precision,
                "replaced_records": facts.repeated_ids,
                "memory": memory_json(0 if total is None else total.total_size, facts.memory),
            }
        )
        return 0
    if not types:
        from vesker.store_health import object_count

        stored = object_count(args.store)
        if stored:
            raise UserError(
                f"the store holds {stored:,} objects but no type summaries: the step after their "
                "import did not finish; import the dump again into a new directory"
            )
        print("the store holds no objects")
        return 0
    table_rows = [
        [row.type, f"{row.count:,}", format_bytes(row.total_size)] for row in shown
    ]
    if total is not None:
        table_rows.append([f"{ALL_TYPES} ({len(types):,} types)", f"{total.objects:,}", format_bytes(total.total_size)])
    headers: tuple[str, ...] = ("TYPE", "COUNT", "TOTAL SIZE")
    if fresh:
        # Retained counted once per type: objects held by another object of the type add nothing.
        for cells, row in zip(table_rows, shown):
            cells.append(format_bytes(row.retained))
        if total is not None:
            table_rows[-1].append(format_bytes(total.total_size))
        headers += ("RETAINED",)
    print(format_table(headers, table_rows, {1, 2, 3}, terminal_width()))
    if len(shown) < len(types):
        print(f"({len(types) - len(shown):,} more types; use --limit 0 to list all)")
    if facts.repeated_ids:
        print(f"(counts include {_count(facts.repeated_ids, 'record')} that a later record "
              "with the same id replaced)")
    if facts.memory is not None and total is not None:
        print(memory_sentence(total.total_size, facts.memory))
    print(precision_note(facts.precision))
    return 0


# -- top ----------------------------------------------------------------------


def _type_suggestion(explorer: HeapDumpExplorer, typename: str) -> str:
    names = [name for name, _ in explorer.get_type_summaries() if name != ALL_TYPES]
    close = sorted(name for name in names if name.endswith("." + typename))
    if not close:
        lowered = typename.lower()
        close = sorted(name for name in names if name.lower() == lowered)
    if not close:
        return "see 'vesker types'"
    return "did you mean " + " or ".join(repr(name) for name in close[:3]) + "?"


def _listed(row: ObjectRow) -> Summary:
    return Summary(row.id, row.type, row.value, row.size, row.subtree_size, row.state)


def _current_rows(rows: list[ObjectRow], typename: str) -> tuple[list[ObjectRow], int]:
    """The rows whose record still matches the listing, and how many were left out.

    A record replaced by a later one with the same id keeps its index rows: the listing then
    names the id under the old type, or twice."""
    kept: list[ObjectRow] = []
    seen: set[int] = set()
    for row in rows:
        if row.id in seen or (typename != ALL_TYPES and row.type != typename):
            continue
        seen.add(row.id)
        kept.append(row)
    return kept, len(rows) - len(kept)


def _cmd_top(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    typename = args.type
    if typename == "":
        raise UserError("the type name must not be empty")
    with Heap(args.store) as heap:
        facts = heap.facts
        total = heap.explorer.get_count_for_type(typename)
        if total == 0:
            if typename == ALL_TYPES:
                raise UserError("the store holds no objects")
            raise UserError(
                f"no objects of type {typename!r} in the store; {_type_suggestion(heap.explorer, typename)}"
            )
        if args.limit == 0:
            args.limit = total
        if args.by in (None, "retained"):
            from vesker.cli_retained import top_by_retained

            answered = top_by_retained(args, total, heap)
            if answered is not None:
                return answered
            args.by = "subtree"
        subtree = args.by == "subtree"
        limit = args.limit
        offset = (args.page - 1) * limit
        try:
            found = heap.top(typename, "subtree" if subtree else "size").window(offset, limit)
        except RuntimeError as error:
            raise _query_error(error) from None
    labels = {row.id: row.label for row in found if row.label}
    rows, left_out = _current_rows(found, typename) if facts.repeated_ids else (found, 0)
    if subtree and not rows and offset == 0:
        raise UserError(
            "the store has no subtree sizes (it was imported with --precision none); "
            "use --by size, or import the dump again with another precision"
        )
    pages = (total + limit - 1) // limit
    if args.json:
        _emit_json(
            {
                "type": typename,
                "by": args.by,
                "page": args.page,
                "pages": pages,
                "limit": args.limit,
                "total": total,
                "objects": [dict(_listed(s).json(), label=labels.get(s.id)) for s in rows],
                "left_out": left_out,
                "precision": facts.precision,
            }
        )
        return 0
    what = "all types" if typename == ALL_TYPES else f"type {typename}"
    order = "subtree size" if subtree else "size"
    if not rows and not left_out:
        print(f"page {args.page} is past the end: {what} has {pages:,} pages of {limit}")
        return 0
    print(
        f"objects of {what} by {order}, rows {offset + 1:,}-{offset + len(rows) + left_out:,} "
        f"of {total:,} (page {args.page} of {pages:,})"
    )
    print(summary_table([_listed(s) for s in rows], facts.precision, terminal_width(), labels=labels))
    if left_out:
        print(f"({_count(left_out, 'row')} left out: a later record with the same id "
              "replaced the record listed)")
    print(precision_note(facts.precision))
    return 0


# -- show ---------------------------------------------------------------------


def _cmd_show(args: argparse.Namespace) -> int:
    from vesker import cli_show

    return cli_show.run(args)


# -- path ---------------------------------------------------------------------


def _cmd_path(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    avoid = frozenset(args.avoid or ())
    with Heap(args.store) as heap:
        facts = heap.facts
        unknown = heap.missing(avoid)
        if unknown:
            raise UserError(
                "no object with id " + ", ".join(map(str, unknown)) + " in the store (given to --avoid)"
            )
        try:
            found = heap.path(args.start, args.end, avoid)
        except RuntimeError as error:
            raise _query_error(error) from None
        retained = _retained_of(heap, found)
    path = [_listed(row) for row in found] if found.found else None
    names = [row.name for row in found] or [None]
    labels = {row.id: row.label for row in found if row.label}
    if args.json:
        _emit_json(None if path is None else [
            dict(s.json(), name=name, label=labels.get(s.id),
                 **({} if retained is None else {"retained": retained.get(s.id)}))
            for s, name in zip(path, names)])
        return 0
    if path is None:
        print(f"no path from {args.start} to {args.end}")
        return 0
    print(f"path of {len(path) - 1} references from {args.start} to {args.end}:")
    if any(names):
        print("  " + found.chain)
    print(summary_table(path, facts.precision, terminal_width(), retained, labels, names if any(names) else None))
    print(precision_note(facts.precision))
    return 0


def _retained_of(heap: Heap, rows: Sequence[ObjectRow]) -> dict[int, int] | None:
    """Retained sizes of the rows when the store's are up to date, else None."""
    if not heap.retained_fresh:
        return None
    return {row.id: row.retained for row in rows if row.retained is not None}


# -- common -------------------------------------------------------------------


def _cmd_common(args: argparse.Namespace) -> int:
    from vesker.heap import Heap

    with Heap(args.store) as heap:
        facts = heap.facts
        try:
            found = heap.common(args.first, args.second)
        except RuntimeError as error:
            raise _query_error(error) from None
        retained = None if found is None else _retained_of(heap, [found])
    if found is None:
        if args.json:
            _emit_json(None)
        else:
            print(f"{args.first} and {args.second} reach no common object")
        return 0
    labels = {found.id: found.label} if found.label else {}
    summary = _listed(found)
    if args.json:
        _emit_json(dict(summary.json(), label=labels.get(summary.id),
                        **({} if retained is None else {"retained": retained.get(summary.id)})))
        return 0
    print(f"largest object reachable from both {args.first} and {args.second}:")
    print(summary_table([summary], facts.precision, terminal_width(), retained, labels))
    print(precision_note(facts.precision))
    return 0


# -- check --------------------------------------------------------------------


def _cmd_check(args: argparse.Namespace) -> int:
    from vesker.cli_check import cmd_check

    return cmd_check(args)


# -- demo ---------------------------------------------------------------------


def _cmd_demo(args: argparse.Namespace) -> int:
    from vesker.demo import run_demo

    return run_demo(args.dir, quiet=args.quiet)


# -- parser -------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line of usage, one of error
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def _add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")


def _add_store(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("store", help="store directory written by 'vesker import'")


def _installed_version() -> str:
    try:
        return importlib.metadata.version("vesker-analysis")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree, never installed
        return "unknown (not installed)"


class _VersionAction(argparse.Action):
    """Reads the version only when asked: the lookup scans every folder on sys.path."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        print(f"{parser.prog} {_installed_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vesker",
        description="Dump the heap of a Python program and explore the dump.",
        epilog="Exit codes: 0 answered, 1 error, 2 wrong usage. "
        "Run 'vesker demo' for a guided example.",
    )
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    dump = commands.add_parser(
        "dump",
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
    dump.add_argument("--pid", type=_positive, metavar="PID",
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
    dump.add_argument("--timeout", type=_seconds, default=10.0, metavar="SECONDS",
                      help="with --pid: how long to wait for the process to start the dump "
                      "(default 10)")
    dump.add_argument("--mode", type=_file_mode, default=0o600, metavar="OCTAL",
                      help="with --pid: permissions of the dump and its sidecar (default 600, "
                      "whatever the umask)")
    dump.add_argument("script", nargs="?", help="the Python script to run")
    dump.add_argument("arguments", nargs=argparse.REMAINDER, help="arguments for the script")
    dump.set_defaults(handler=_cmd_dump)

    imp = commands.add_parser(
        "import",
        help="import a dump file into a store directory",
        description="Import a dump file (plain or gzip-compressed JSON Lines) into a store "
        "directory, created if missing, and compute subtree sizes and retained sizes.",
    )
    imp.add_argument("dump", help="dump file, a pipe such as <(zcat d.gz), or - for standard input")
    _add_store(imp)
    imp.add_argument("--precision", choices=PRECISIONS, default="exact",
                     help="subtree sizes: none, estimated (low, medium, high) or exact "
                     "(default: exact)")
    imp.add_argument("--append", action="store_true",
                     help="add to a store that already holds objects")
    imp.add_argument("--no-retained", action="store_true",
                     help="do not compute retained sizes (the dominator tree) after the import")
    imp.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    imp.add_argument("--profile", action="store_true",
                     help="print where the time went: each phase's parts with wall and CPU time")
    imp.set_defaults(handler=_cmd_import)

    types = commands.add_parser("types", help="list types by count and total size",
                                description="List the store's types with object counts, "
                                "total direct sizes and, once computed, retained sizes "
                                "(each object counted once per type).")
    _add_store(types)
    types.add_argument("--sort", choices=("retained", "size", "count", "name"), default=None,
                       help="order of the rows (default: retained when the store has retained sizes, "
                       "otherwise size)")
    types.add_argument("--limit", type=_non_negative, default=25,
                       help="rows to show, 0 for all (default: 25)")
    _add_json(types)
    types.set_defaults(handler=_cmd_types)

    top = commands.add_parser("top", help="largest objects of a type or of all types",
                              description="List the largest objects of one type, or of all "
                              "types, by direct, subtree or retained size.")
    _add_store(top)
    top.add_argument("-t", "--type", default=ALL_TYPES,
                     help="type name such as builtins.dict (default: all types)")
    top.add_argument("--by", choices=("size", "subtree", "retained"), default=None,
                     help="order by direct, subtree or retained size (default: retained when the "
                     "store has retained sizes, otherwise subtree)")
    top.add_argument("--limit", type=_non_negative, default=20,
                     help="rows per page, 0 for all (default: 20)")
    top.add_argument("--page", type=_positive, default=1, help="page to show, from 1")
    _add_json(top)
    top.set_defaults(handler=_cmd_top)

    show = commands.add_parser("show", help="one object with its references and referrers",
                               description="Show one object with the objects it refers to and "
                               "the objects that refer to it.")
    _add_store(show)
    from vesker.cli_show import add_arguments

    add_arguments(show, _object_id, _non_negative, _positive)
    _add_json(show)
    show.set_defaults(handler=_cmd_show)

    path = commands.add_parser("path", help="a shortest chain of references between two objects",
                               description="Find a shortest chain of references from START to "
                               "END; modules are never passed through.")
    _add_store(path)
    path.add_argument("start", type=_object_id, help="id of the first object")
    path.add_argument("end", type=_object_id, help="id of the last object")
    path.add_argument("--avoid", type=_object_id, action="append", metavar="ID",
                      help="an id the path must not pass through (repeatable)")
    _add_json(path)
    path.set_defaults(handler=_cmd_path)

    common = commands.add_parser("common", help="largest object reachable from two objects",
                                 description="Find the object with the largest subtree size "
                                 "that both objects reach.")
    _add_store(common)
    common.add_argument("first", type=_object_id, help="id of one object")
    common.add_argument("second", type=_object_id, help="id of the other object")
    _add_json(common)
    common.set_defaults(handler=_cmd_common)

    from vesker.cli_suspects import add_command as add_suspects_command

    add_suspects_command(commands, _add_store, _add_json)
    from vesker.cli_waste import add_command as add_waste_command

    add_waste_command(commands, _add_store, _add_json, _positive)
    from vesker.cli_sites import add_command as add_sites_command

    add_sites_command(commands, _add_store, _add_json, _positive)
    add_diff_commands(commands, _add_json, _positive, _non_negative)

    from vesker import cli_retained

    cli_retained.add_commands(commands, _add_store, _add_json, _object_id, _positive)

    check = commands.add_parser("check", help="read every page of a store and say whether it is sound",
                                description="Read every page of the store in a separate process "
                                "and say whether the store is sound (exit code 0) or damaged (1).")
    _add_store(check)
    check.add_argument("--compact", action="store_true",
                       help="remove the files of a sound store that holds nothing (what a killed import "
                       "leaves), giving back the disk space they keep")
    check.set_defaults(handler=_cmd_check)

    demo = commands.add_parser("demo", help="dump, import and report on a small leaky program",
                               description="Run the bundled demo program, dump its heap, import "
                               "it with exact subtree sizes and print a short report.")
    demo.add_argument("--dir", help="keep the dump and the store in this directory "
                      "(default: a temporary directory, removed afterwards)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress output")
    demo.set_defaults(handler=_cmd_demo)

    cli_serve.add_parser(commands)
    return parser


def _guard_store_damage(command: str) -> None:
    """A store damaged where no open-time check looks ends the command with one line, not a signal."""
    try:
        from vesker import engine
    except ImportError:
        return  # the commands that need it say so themselves
    engine.guard_store_damage(f"vesker {command}: error: ")


def _is_panic(error: BaseException) -> bool:
    try:
        from vesker.errors import PanicException
    except ImportError:
        return False
    return isinstance(error, PanicException)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    _guard_store_damage(args.command)
    try:
        return handler(args)
    except UserError as error:
        print(f"vesker {args.command}: error: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        # Every failure the extension reports that a command did not phrase itself: a damaged store.
        print(f"vesker {args.command}: error: {error} (see 'vesker check STORE')", file=sys.stderr)
        return 1
    except ImportInterrupted as interrupted:
        print(f"vesker {args.command}: {interrupted}", file=sys.stderr)
        return 130
    except KeyboardInterrupt:
        print(f"vesker {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stay quiet like other tools.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except OSError as error:
        # What the extension reports of a store's files (a full disk, an I/O error) or a file a
        # command wrote itself.
        print(f"vesker {args.command}: error: {storage_failure(error) if is_disk_full(error) else error}",
              file=sys.stderr)
        return 1
    except BaseException as error:
        # A broken invariant of the extension: stored data it cannot have written.
        if not _is_panic(error):
            raise
        print(
            f"vesker {args.command}: error: the store is damaged ({error}); see 'vesker check STORE'",
            file=sys.stderr,
        )
        return 1
