"""Text for people: sizes, durations, values and aligned tables."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vesker_analysis import ObjectSummary

_UNITS = ("B", "KiB", "MiB", "GiB", "TiB", "PiB")


def format_bytes(count: int | None) -> str:
    if count is None:
        return "-"
    value = float(count)
    for unit in _UNITS:
        if value < 1024 or unit == _UNITS[-1]:
            return f"{int(value)} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def format_duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f}s"
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


ESTIMATED = ("low", "medium", "high")


def format_subtree(count: int | None, precision: str, *, detail: bool = False) -> str:
    """A subtree size, marked "~" when the store holds estimates; `detail` names the precision."""
    if count is None:
        return "-"
    if precision in ESTIMATED:
        text = "~" + format_bytes(count)
        return f"{text} (estimate, {precision})" if detail else text
    text = format_bytes(count)
    if detail:
        text += f" ({count:,} bytes)" if precision == "exact" else " (precision unknown)"
    return text


def precision_note(precision: str) -> str:
    """One line saying how the subtree sizes of a store were computed."""
    if precision in ESTIMATED:
        return f"subtree sizes are estimates (precision {precision}); '~' marks them"
    if precision == "exact":
        return "subtree sizes are exact"
    if precision == "none":
        return "the store has no subtree sizes (precision none)"
    return "subtree sizes: precision unknown (the store does not record it)"


def _escape(char: str) -> str:
    return char.encode("unicode_escape").decode("ascii")


def format_value(value: str | None, width: int | None = 40) -> str:
    """A value on one line, shortened to `width` characters (None: whole).

    Only characters that would break the line or the terminal are escaped: a
    name like "François" stays as it is."""
    if value is None:
        return ""
    text = value if value.isprintable() else "".join(c if c.isprintable() else _escape(c) for c in value)
    return text if width is None or len(text) <= width else text[: width - 1] + "…"


def terminal_width() -> int | None:
    """The columns a table may use: $COLUMNS, else the terminal's; None when not on a terminal."""
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(sys.stdout.fileno()).columns if sys.stdout.isatty() else None
    except (OSError, ValueError):
        return None


def _shorten(cell: str, width: int) -> str:
    return cell if len(cell) <= width else cell[: max(width - 1, 0)] + "…"


_MIN_SHRUNK = 12


def format_table(
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    right: set[int],
    width: int | None = None,
) -> str:
    """Columns padded to their widest cell; the columns in `right` align right.

    With `width`, the left-aligned text columns give up characters, the last
    first, until a line fits in `width` (numbers are never cut)."""
    widths = [len(header) for header in headers]
    for row in rows:
        for column, cell in enumerate(row):
            widths[column] = max(widths[column], len(cell))
    if width is not None:
        excess = sum(widths) + 2 * (len(widths) - 1) - width
        for column in reversed(range(len(widths))):
            if excess <= 0:
                break
            if column in right:
                continue
            floor = max(len(headers[column]), min(widths[column], _MIN_SHRUNK))
            cut = min(excess, widths[column] - floor)
            widths[column] -= cut
            excess -= cut
        rows = [[_shorten(cell, widths[column]) for column, cell in enumerate(row)] for row in rows]

    def line(cells: Sequence[str]) -> str:
        padded = [
            cell.rjust(widths[column]) if column in right else cell.ljust(widths[column])
            for column, cell in enumerate(cells)
        ]
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


@dataclass(frozen=True)
class Summary:
    """One object in a listing; `state` is "missing" for an id without a record and "stale"
    for a referrer whose record was replaced by one that no longer refers to the object."""

    id: int
    type: str | None
    value: str | None
    size: int | None
    subtree_size: int | None
    state: str = "present"

    @classmethod
    def of(cls, summary: ObjectSummary) -> Summary:
        return cls(summary.id, summary.type, summary.value, summary.size, summary.subtree_size)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Summary:
        return cls(data["id"], data["type"], data["value"], data["size"], data["subtree_size"],
                   data.get("state", "present"))

    def json(self) -> dict[str, Any]:
        """The listing's JSON shape; only rows that are not plain records carry a "state"."""
        data: dict[str, Any] = {"id": self.id, "type": self.type, "value": self.value,
                                "size": self.size, "subtree_size": self.subtree_size}
        if self.state != "present":
            data["state"] = self.state
        return data


_MARKS = {"missing": "<no record>", "stale": "<stale: record replaced>"}


def value_width(width: int | None) -> int:
    """How long a value may be in a table: short in a file or pipe, where no terminal width
    shortens the table; long on a terminal, where the value column takes the room that is left."""
    return 40 if width is None else 200


def value_cell(value: str | None, label: str | None, width: int | None = None) -> str:
    """An object's value, or for one without a value what it is: `(__main__.cache)`."""
    if value is None and label:
        return f"({label})"
    return format_value(value, value_width(width))


def _summary_rows(
    summaries: Sequence[Summary], precision: str, width: int | None, retained: Mapping[int, int] | None,
    labels: Mapping[int, str], names: Sequence[str | None] | None,
) -> list[list[str]]:
    rows = []
    for index, s in enumerate(summaries):
        row = [str(s.id)]
        if names is not None:
            row.append(names[index] or "")
        row += [s.type or "", format_bytes(s.size), format_subtree(s.subtree_size, precision)]
        if retained is not None:
            row.append(format_bytes(retained.get(s.id)))
        row.append(_MARKS[s.state] if s.state in _MARKS else value_cell(s.value, labels.get(s.id), width))
        rows.append(row)
    return rows


SUMMARY_HEADERS = ("ID", "TYPE", "SIZE", "SUBTREE", "VALUE")
SUMMARY_RIGHT = {2, 3}


def summary_table(
    summaries: Sequence[Summary | ObjectSummary],
    precision: str = "exact",
    width: int | None = None,
    retained: Mapping[int, int] | None = None,
    labels: Mapping[int, str] | None = None,
    names: Sequence[str | None] | None = None,
) -> str:
    """Objects as a table; with a terminal `width`, values take the room that is left. With
    `retained` (sizes by id), a RETAINED column follows the subtree sizes; `labels` (by id) name
    objects without a value; `names` (one per row) are the edges' names, in a NAME column."""
    rows = [s if isinstance(s, Summary) else Summary.of(s) for s in summaries]
    headers: list[str] = ["ID", "TYPE", "SIZE", "SUBTREE"]
    if retained is not None:
        headers.append("RETAINED")
    headers.append("VALUE")
    if names is not None:
        headers.insert(1, "NAME")
    right = {i for i, h in enumerate(headers) if h in ("SIZE", "SUBTREE", "RETAINED")}
    table = _summary_rows(rows, precision, width, retained, labels or {}, names)
    return format_table(tuple(headers), table, right, width)
