"""What the commands share on their way in: the one way to add a command, the types and
arguments several commands take, and the opening of a store."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vesker.store import UserError, is_store

if TYPE_CHECKING:
    from vesker.heap import Heap

if TYPE_CHECKING:  # what add_subparsers() gives
    Commands = argparse._SubParsersAction[argparse.ArgumentParser]
else:
    Commands = argparse._SubParsersAction
Handler = Callable[[argparse.Namespace], int]

_MAX_ID = (1 << 64) - 1


def command(commands: Commands, name: str, handler: Handler, **texts: Any) -> argparse.ArgumentParser:
    """Adds the subcommand `name`, run by `handler`; `texts` are its help and description."""
    parser: argparse.ArgumentParser = commands.add_parser(name, **texts)
    parser.set_defaults(handler=handler)
    return parser


def add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")


def add_store(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("store", help="store directory written by 'vesker import'")


def open_heap(path: str) -> Heap:
    """The store at `path`, said not to be one in the words of the analyses' commands."""
    if not os.path.isdir(path) or not is_store(path):
        raise UserError(f"{path!r} is not a store (create it with 'vesker import')")
    from vesker.heap import Heap

    return Heap(path)


def object_id(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid object id: {text!r}") from None
    if not 0 <= value <= _MAX_ID:
        raise argparse.ArgumentTypeError(f"object id out of range: {text!r}")
    return value


def at_least(minimum: int, wording: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}: {text!r}")
        return value

    return parse


positive = at_least(1, "must be at least 1")
non_negative = at_least(0, "must not be negative")


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text!r}")
    return value


def file_mode(text: str) -> int:
    try:
        mode = int(text, 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an octal file mode: {text!r}") from None
    if not 0 <= mode <= 0o777:
        raise argparse.ArgumentTypeError(f"not a file mode: {text!r}")
    return mode


def port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 0 and 65535: {text!r}")
    return value


def share(text: str) -> float:
    """A share of the heap given in percent (`10` or `10%`), as a fraction."""
    try:
        percent = float(text.rstrip("%"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 < percent <= 100:
        raise argparse.ArgumentTypeError("a share of the heap above 0 and at most 100 %")
    return percent / 100
