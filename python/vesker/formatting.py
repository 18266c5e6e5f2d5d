"""Text for people: sizes, durations, values and aligned tables."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

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


def format_value(value: str | None, width: int = 40) -> str:
    """A value on one line, shortened to `width` characters."""
    if value is None:
        return ""
    text = value.encode("unicode_escape").decode("ascii") if not value.isprintable() else value
    return text if len(text) <= width else text[: width - 1] + "…"


def format_table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: set[int]) -> str:
    """Columns padded to their widest cell; the columns in `right` align right."""
    widths = [len(header) for header in headers]
    for row in rows:
        for column, cell in enumerate(row):
            widths[column] = max(widths[column], len(cell))

    def line(cells: Sequence[str]) -> str:
        padded = [
            cell.rjust(widths[column]) if column in right else cell.ljust(widths[column])
            for column, cell in enumerate(cells)
        ]
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), line(["-" * width for width in widths])] + [line(r) for r in rows])


def _summary_rows(summaries: Sequence[ObjectSummary]) -> list[list[str]]:
    return [
        [
            str(s.id),
            s.type,
            format_bytes(s.size),
            format_bytes(s.subtree_size),
            format_value(s.value),
        ]
        for s in summaries
    ]


SUMMARY_HEADERS = ("ID", "TYPE", "SIZE", "SUBTREE", "VALUE")
SUMMARY_RIGHT = {2, 3}


def summary_table(summaries: Sequence[ObjectSummary]) -> str:
    return format_table(SUMMARY_HEADERS, _summary_rows(summaries), SUMMARY_RIGHT)
