"""Names for objects that have no value of their own, read off the references that hold them:
`__main__.leaked`, `Document.__dict__`, "`__main__`'s namespace"."""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from vesker.engine import Store

MODULE_TYPE = "builtins.module"
_KEY = re.compile(r"^\['([A-Za-z_][A-Za-z0-9_]*)'\]$")


def short_type(type_name: str) -> str:
    return type_name.rsplit(".", 1)[-1]


class Step(Protocol):
    """An object in a chain, with the name of the reference to it from the one before."""

    @property
    def type(self) -> str | None: ...
    @property
    def value(self) -> str | None: ...
    @property
    def name(self) -> str | None: ...


def _label(row: Step) -> str:
    if row.type == MODULE_TYPE and row.value:
        return row.value
    return short_type(row.type or "?")


def chain_of(rows: Sequence[Step]) -> str:
    """A path of rows (each naming the reference from the row before) as a reader writes it:
    `__main__.cache['k'].items[3]`; an attribute or a key of an identifier reached through a
    namespace dict is written as an attribute, an unnamed step as ` -> Type`."""
    if not rows:
        return ""
    text = _label(rows[0])
    i = 1
    while i < len(rows):
        name = rows[i].name
        following = rows[i + 1].name if i + 1 < len(rows) else None
        if name == ".__dict__" and following and _KEY.match(following):
            text += "." + _KEY.match(following).group(1)  # type: ignore[union-attr]
            i += 2
            continue
        text += str(name) if name else " -> " + _label(rows[i])
        i += 1
    return text


def object_labels(store: Store, rows: Iterable[Any]) -> dict[int, str]:
    """What each row's object is, for the rows without a value (dicts, mappings or summaries)."""
    ids = []
    for row in rows:
        value = row.get("value") if isinstance(row, Mapping) else row.value
        object_id = row.get("id") if isinstance(row, Mapping) else row.id
        if value is None and object_id is not None:
            ids.append(object_id)
    if not ids:
        return {}
    return {object_id: label for object_id, label in zip(ids, store.labels(ids)) if label}
