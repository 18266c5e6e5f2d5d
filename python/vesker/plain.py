"""The engine's answers as JSON shows them: each record a dict of its fields, in their order."""

from __future__ import annotations

from typing import Any

_ENGINE = "vesker.engine"


def plain(value: Any) -> Any:
    """`value` with every record of the engine in it, however deep in lists and dicts, made a dict."""
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, tuple) and type(value).__module__ == _ENGINE:
        fields: tuple[str, ...] = getattr(type(value), "__match_args__")
        return {field: plain(item) for field, item in zip(fields, value)}
    return value
