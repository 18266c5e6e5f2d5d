"""The `vesker` command: dump a script's heap, import dumps, explore stores.

One module per group of commands; each adds its commands with `register(commands)`, through
`vesker.cli.arguments.command`, and answers through `vesker.heap.Heap` and the library modules.
Library code never imports this package.

Exit codes: 0 when the question was answered (also when the answer is "no
path" or "nothing in common"), 1 for errors, 2 for wrong usage.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import sys
from collections.abc import Sequence
from typing import Any

from vesker.cli import (
    check,
    compare,
    demo,
    dump,
    importing,
    listings,
    objects,
    retained,
    serve,
    sites,
    suspects,
    waste,
)
from vesker.cli.arguments import Handler
from vesker.store import ImportInterrupted, UserError
from vesker.store_health import is_disk_full, storage_failure

# In the order `vesker --help` lists their commands.
_GROUPS = (dump, importing, listings, objects, suspects, waste, sites, compare, retained, check, demo, serve)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line of usage, one of error
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


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
    for group in _GROUPS:
        group.register(commands)
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
    handler: Handler = args.handler
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
