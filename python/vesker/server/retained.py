"""Retained sizes for the view: the dominator tree, why an object is alive, the top retainers.

They exist when the store holds the analysis' results, fresh (computed after the last import);
otherwise the view leaves these parts out and says why.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, TypeVar

from vesker.server.queries import (
    LIST_VALUE_CHARS,
    Json,
    QueryError,
    StoreQueries,
    Window,
    bad_request,
    cancellation,
    clipped_value,
    not_found,
    page,
)

if TYPE_CHECKING:
    from vesker.engine import RetainedRow, Store, TreeRow
    from vesker.results import ObjectRow

MAX_TREE_ROWS = 500
T = TypeVar("T")


def availability(queries: StoreQueries) -> str:
    """'fresh' when the view can use retained sizes, else why not ('missing', 'stale')."""
    state: str = queries.ask(queries.analyses.retained_state)
    return state


def row(found: RetainedRow | TreeRow | ObjectRow) -> Json:
    shown: Json = {
        "id": None if found.id is None else str(found.id),
        "type": found.type,
        "size": found.size,
        "retained": found.retained,
        **clipped_value(found.value, LIST_VALUE_CHARS),
    }
    # Only the fields of its class: an engine's record is a tuple, whose `count` is a method.
    fields = type(found).__match_args__
    for optional in ("count", "name", "unreachable"):
        if optional in fields and getattr(found, optional) is not None:
            shown[optional] = getattr(found, optional)
    return shown


def _labelled(shown: Json, label: str | None) -> Json:
    if label:
        shown["label"] = label
    return shown


class Retained:
    def __init__(self, queries: StoreQueries) -> None:
        self.queries = queries
        self.engine: Store = queries.analyses
        self.type_retained = queries.ask(self.engine.type_retained)

    def _call(self, query: Callable[[], T]) -> T:
        return self.queries.ask(query)

    def top(self, typename: str, descending: bool, window: Window) -> Json:
        total = self.queries.type_count(typename)
        if descending:
            offset, limit = window.offset, min(window.limit, max(total - window.offset, 0))
        else:
            stop = max(total - window.offset, 0)
            offset = max(stop - window.limit, 0)
            limit = stop - offset
        found = self._call(lambda: self.queries.heap.top(typename, "retained").window(offset, limit))
        rows = [_labelled(row(item), item.label) for item in found]
        if not descending:
            rows.reverse()
        return {"type": typename, "by": "retained", "descending": descending, "total": total,
                "offset": window.offset, "limit": window.limit, "rows": rows}

    def facts(self, object_id: int) -> Json | None:
        found = self._call(lambda: self.engine.retained(object_id))
        if found is None:
            return None
        return {"retained": found.retained, "idom": None if found.idom is None else str(found.idom),
                "unreachable": found.unreachable}

    def suspects(self) -> Json:
        """The leak suspects, the overview's first answer; kept until the store changes."""
        from vesker.labels import chain_of
        from vesker.plain import plain

        found = self.queries.cached(
            ("suspects",), lambda: self._call(lambda: self.engine.suspects(cancel=cancellation())))
        heap = found.heap
        return {"heap": heap, "suspects": [
            {"id": str(suspect.id), "label": chain_of(suspect.path), "retained": suspect.retained,
             "share": suspect.retained / heap if heap else 0.0, "count": suspect.count,
             "held": None if suspect.held is None else {**plain(suspect.held), "sample": str(suspect.held.sample)},
             "object": None if suspect.object is None else row(suspect.object),
             "path": [row(step) for step in suspect.path], "signature": suspect.signature}
            for suspect in found.suspects]}

    def tree(self, object_id: int | None, expand: Sequence[str], limit: int) -> Json:
        if not 1 <= limit <= MAX_TREE_ROWS:
            raise bad_request(f"limit must be between 1 and {MAX_TREE_ROWS}, not {limit}")
        node: Json | None = None
        chain: list[Json] = []
        if object_id is not None:
            record = self.queries.object(object_id)
            facts = self.facts(object_id)
            if facts is None:
                raise not_found(f"object {object_id} has no retained size")
            node = {**record, "retained": facts}
            why = self._call(lambda: self.engine.why(object_id, cancel=cancellation()))
            chain = [] if why is None else self.queries.labelled([row(item) for item in why.dominators[-50:]])
        # One row more than shown says whether there are more. The root's children are every
        # object nothing else holds, hundreds of thousands in a large heap: merging them takes
        # the engine a while, so the answer is kept while the view goes up and down the tree.
        children = self.queries.cached(
            ("tree", object_id, tuple(expand), limit),
            lambda: self._call(lambda: self.engine.dominator_tree(object_id, tuple(expand), limit + 1,
                                                                  cancel=cancellation())))
        return {"node": node, "chain": chain, "expand": list(expand), "limit": limit,
                "more": len(children) > limit, "rows": self.queries.labelled([row(item) for item in children[:limit]])}

    def why(self, object_id: int, which: str, window: Window) -> Json:
        if which not in ("dominators", "path"):
            raise not_found(f"why an object is alive is told by its dominators or a path, not {which!r}")

        def compute() -> list[RetainedRow]:
            answer = self._call(lambda: self.engine.why(object_id, cancel=cancellation()))
            if answer is None:
                self.queries.record(object_id)  # 404 for an unknown id
                raise QueryError(404, f"object {object_id} has no retained size")
            return answer.dominators if which == "dominators" else answer.path

        found = self.queries.cached(("why", object_id, which), compute)
        shown = page(found, window, row)
        return {"id": str(object_id), "which": which, **shown, "rows": self.queries.labelled(shown["rows"])}
