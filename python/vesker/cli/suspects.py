"""`vesker suspects STORE [--baseline OLD ...]`: the objects that hold most of the heap."""

from __future__ import annotations

import argparse
import contextlib

from vesker.cli.arguments import Commands, add_json, add_store, command, open_heap, share
from vesker.cli.output import emit_json
from vesker.store import UserError
from vesker.suspects import render, to_json


def register(commands: Commands) -> None:
    suspects = command(
        commands, "suspects", cmd_suspects, help="leak suspects: the objects or groups that hold most of the heap",
        description="List the objects, and groups of top-level objects of one type, that hold at least "
        "--threshold of the heap, each where its memory accumulates, with a named path from a root and a "
        "signature of that path that stays the same across dumps. With --baseline (earlier dumps, oldest "
        "first; two or more give the growth of three dumps), each suspect is marked new, growing or "
        "stable; a large object that stays the same size is a cache, not a leak.")
    add_store(suspects)
    suspects.add_argument("--baseline", action="append", default=[], metavar="OLD",
                          help="store of an earlier dump of the same program (repeatable, oldest first)")
    suspects.add_argument("--threshold", type=share, default=0.10, metavar="PERCENT",
                          help="share of the heap a suspect holds at least (default: 10)")
    add_json(suspects)


def cmd_suspects(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as opened:
        heaps = []
        for path in [*args.baseline, args.store]:
            heaps.append(opened.enter_context(open_heap(path)))
            heaps[-1].require_retained()
        try:
            result = heaps[-1].suspect_answers(heaps[:-1], args.threshold)
        except RuntimeError as error:
            raise UserError(f"finding suspects failed: {error}") from None
    if args.json:
        emit_json(to_json(result))
    else:
        print(render(result))
    return 0
