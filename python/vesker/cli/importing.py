"""`vesker import`: a dump into a store, with subtree sizes and retained sizes."""

from __future__ import annotations

import argparse
import sys

from vesker.cli.arguments import Commands, add_store, command
from vesker.cli.output import count
from vesker.store import PRECISIONS, import_dump
from vesker.store_facts import incomplete_dump_note


def register(commands: Commands) -> None:
    imp = command(
        commands, "import", _cmd_import,
        help="import a dump file into a store directory",
        description="Import a dump file (plain or gzip-compressed JSON Lines) into a store "
        "directory, created if missing, and compute subtree sizes and retained sizes.",
    )
    imp.add_argument("dump", help="dump file, a pipe such as <(zcat d.gz), or - for standard input")
    add_store(imp)
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
            f"vesker import: warning: {count(stats.repeated_ids, 'record')} repeated an id "
            "seen before; "
            "the last record of each id is kept, and listings leave out or mark rows of the "
            "records it replaced",
            file=sys.stderr,
        )
    if stats.dangling_references:
        print(f"vesker import: warning: {incomplete_dump_note(stats.dangling_references)}", file=sys.stderr)
    return 0

