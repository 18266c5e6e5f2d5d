"""Which sizes two or more stores can be compared by without setting an estimate against an exact figure.

Counts and direct sizes come from the dump and are exact in every store. Retained sizes are exact
where they are fresh. Subtree sizes are exact only in a store imported with precision `exact`;
the other precisions estimate them, each with its own error, so an estimate and an exact size (or
two estimates of different precisions) differ by the estimators' error as much as by growth.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vesker.formatting import ESTIMATED
from vesker.store_facts import read_facts

if TYPE_CHECKING:
    from vesker.engine import Store


@dataclass(frozen=True)
class StoreSide:
    """What one store of a comparison holds beside its records."""

    path: str
    precision: str  # a precision name, or "unknown"
    retained: str  # "fresh", "stale" or "missing"
    names: bool  # whether its dump named references

    def as_json(self) -> dict[str, Any]:
        return {"path": self.path, "precision": self.precision, "retained": self.retained, "names": self.names}

    def describe(self) -> str:
        retained = {"fresh": "retained sizes", "stale": "stale retained sizes", "missing": "no retained sizes"}
        return (f"precision {self.precision}, {retained[self.retained]}, "
                f"{'reference names' if self.names else 'no reference names'}")


def side_of(path: str, store: Store) -> StoreSide:
    return StoreSide(path, read_facts(store).precision, store.retained_state(), store.named_object_count() > 0)


@dataclass(frozen=True)
class Measure:
    """The object sizes a comparison reads: `retained` or `subtree`, or None when no sizes compare
    like with like (`reason` says why); `estimate` names the precision of estimated subtree sizes."""

    sizes: str | None
    estimate: str | None = None
    reason: str | None = None


def _missing_retained(sides: list[StoreSide]) -> str:
    lacking = [side.path for side in sides if side.retained != "fresh"]
    return ", ".join(repr(path) for path in lacking)


def comparable_measure(sides: list[StoreSide], retained: bool) -> Measure:
    """The sizes the engine compared (`retained` when every store has fresh ones, subtree sizes
    otherwise), or None when the stores' subtree sizes are not of one precision."""
    if retained:
        return Measure("retained")
    precisions = {side.precision for side in sides}
    if precisions == {"exact"}:
        return Measure("subtree")
    if len(precisions) == 1 and precisions <= set(ESTIMATED):
        return Measure("subtree", estimate=next(iter(precisions)))
    described = "; ".join(f"{side.path!r} {_subtree_kind(side.precision)}" for side in sides)
    return Measure(None, reason=(
        f"object sizes are not compared: the stores' subtree sizes are not alike ({described}), and "
        f"{_missing_retained(sides)} lack fresh retained sizes; compute them with 'vesker retained STORE'"
    ))


def _subtree_kind(precision: str) -> str:
    if precision in ESTIMATED:
        return f"has estimates ({precision})"
    if precision == "exact":
        return "has exact ones"
    if precision == "none":
        return "has none"
    return "does not record their precision"


def lacking_retained(sides: list[StoreSide]) -> str:
    """Which stores have no fresh retained sizes, for a message."""
    return "; ".join(
        f"store {side.path!r} " + ("has no retained sizes" if side.retained == "missing"
                                   else "changed since its retained sizes were computed")
        for side in sides if side.retained != "fresh"
    )
