"""What the commands share on their way out: the one JSON printer, the tables of objects with
their retained sizes, and the phrasing of the extension's failures."""

from __future__ import annotations

import json
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from vesker.formatting import Summary, format_bytes, format_table, terminal_width, value_cell
from vesker.store import UserError

if TYPE_CHECKING:
    from vesker.results import ObjectRow, RetainerRow

RETAINED_HEADERS = ("ID", "TYPE", "SIZE", "RETAINED", "VALUE")
RETAINED_RIGHT = {0, 2, 3}


def emit_json(data: object) -> None:
    json.dump(data, sys.stdout, indent=2)
    sys.stdout.write("\n")


def count(number: int, noun: str) -> str:
    return f"{number:,} {noun}" + ("" if number == 1 else "s")


def listed(row: ObjectRow) -> Summary:
    """A row as the tables of `vesker.formatting` show it."""
    return Summary(row.id, row.type, row.value, row.size, row.subtree_size, row.state)


def query_error(error: RuntimeError) -> UserError:
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


def _retained_cells(row: RetainerRow | ObjectRow, width: int | None) -> list[str]:
    value = value_cell(row.value, row.label, width)
    if row.unreachable:
        value = ("(unreachable) " + value).rstrip()
    return [str(row.id), row.type or "", format_bytes(row.size), format_bytes(row.retained), value]


def retained_table(rows: Sequence[RetainerRow | ObjectRow]) -> str:
    width = terminal_width()
    return format_table(RETAINED_HEADERS, [_retained_cells(r, width) for r in rows], RETAINED_RIGHT, width)


def retained_json(row: RetainerRow | ObjectRow) -> dict[str, Any]:
    return {"id": row.id, "type": row.type, "value": row.value, "size": row.size, "retained": row.retained,
            "unreachable": row.unreachable, "label": row.label}
