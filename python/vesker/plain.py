"""The engine's answers as JSON shows them: each record a dict of its fields, in their order."""

from __future__ import annotations

from typing import Any


def plain(value: Any) -> Any:
    """`value` with every record in it, however deep in lists and dicts, made a dict.

    A record is a tuple whose class names its fields; a bare tuple, such as a (holder, count)
    pair, stays a sequence.
    """
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, tuple):
        fields: tuple[str, ...] | None = getattr(type(value), "__match_args__", None)
        if fields is not None:
            return {field: plain(item) for field, item in zip(fields, value)}
    return value
