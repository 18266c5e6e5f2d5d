"""`vesker suspects STORE [--baseline OLD ...]`: the objects that hold most of the heap."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from vesker import sites
from vesker.retained_sizes import open_engine, require_fresh
from vesker.store import UserError
from vesker.suspects import find_suspects, render, to_json


def _share(text: str) -> float:
    try:
        percent = float(text.rstrip("%"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 < percent <= 100:
        raise argparse.ArgumentTypeError("a share of the heap above 0 and at most 100 %")
    return percent / 100


def cmd_suspects(args: argparse.Namespace) -> int:
    stores = []
    try:
        for path in [*args.baseline, args.store]:
            store = open_engine(path)
            stores.append(store)
            require_fresh(store, path)
        try:
            result = find_suspects(stores[-1], stores[:-1], args.threshold, sites.load(args.store, stores[-1]))
        except RuntimeError as error:
            raise UserError(f"finding suspects failed: {error}") from None
    finally:
        for store in stores:
            store.close()
    if args.json:
        json.dump(to_json(result), sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print(render(result))
    return 0


def add_command(commands: Any, add_store: Any, add_json: Any) -> None:
    suspects = commands.add_parser(
        "suspects", help="leak suspects: the objects or groups that hold most of the heap",
        description="List the objects, and groups of top-level objects of one type, that hold at least "
        "--threshold of the heap, each where its memory accumulates, with a named path from a root and a "
        "signature of that path that stays the same across dumps. With --baseline (earlier dumps, oldest "
        "first; two or more give the growth of three dumps), each suspect is marked new, growing or "
        "stable; a large object that stays the same size is a cache, not a leak.")
    add_store(suspects)
    suspects.add_argument("--baseline", action="append", default=[], metavar="OLD",
                          help="store of an earlier dump of the same program (repeatable, oldest first)")
    suspects.add_argument("--threshold", type=_share, default=0.10, metavar="PERCENT",
                          help="share of the heap a suspect holds at least (default: 10)")
    add_json(suspects)
    suspects.set_defaults(handler=cmd_suspects)
