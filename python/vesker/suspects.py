"""Leak suspects, told as answers: which object holds most of the heap, how a root reaches it,
and, against earlier dumps, whether it is new, growing, or a steady cache.

The suspects themselves come from the native analysis (`Store.suspects`); this module matches
them across dumps by their path signature and phrases them.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

from vesker.formatting import format_bytes, format_value
from vesker.labels import chain_of
from vesker.plain import plain

if TYPE_CHECKING:
    from vesker.engine import RetainedRow, Store, SuspectRow
    from vesker.sites import SiteTable

THRESHOLD = 0.10
# Earlier dumps are searched below the threshold: a leak starts small.
BASELINE_SHARE = 0.1
# Changes within this share of a suspect's size are noise, not growth.
STEADY = 0.05

Verdict = Literal["new", "growing", "stable", "shrinking", "unknown"]


@dataclass
class Answer:
    suspect: SuspectRow
    share: float
    verdict: Verdict = "unknown"
    history: list[int | None] = field(default_factory=list)  # retained in each earlier dump, oldest first
    # Where the accumulation point and the largest of what it holds were made, when the dump
    # recorded allocation sites ("unknown" for an object tracing did not see).
    site: str | None = None
    held_site: str | None = None
    inside: str | None = None  # what the top of the descent is, when it has no value to show

    @property
    def cache(self) -> bool:
        return self.verdict == "stable"


@dataclass
class Suspects:
    heap: int
    answers: list[Answer]
    baselines: int
    threshold: float = THRESHOLD


def find_suspects(store: Store, baselines: list[Store] | None = None, threshold: float = THRESHOLD,
                  sites: SiteTable | None = None) -> Suspects:
    """The suspects of `store`, judged against `baselines` (earlier dumps, oldest first), with
    the allocation sites of `sites` (the store's own)."""
    found = store.suspects(threshold)
    heap = found.heap
    answers = [Answer(s, s.retained / heap if heap else 0.0) for s in found.suspects]
    tops = [a.suspect.descent[0].id for a in answers if len(a.suspect.descent) > 1]
    labels = dict(zip(tops, store.labels(tops))) if tops else {}
    for answer in answers:
        if len(answer.suspect.descent) > 1:
            answer.inside = labels.get(answer.suspect.descent[0].id)
    if sites is not None:
        for answer in answers:
            answer.site = _site(sites, answer.suspect.id)
            held = answer.suspect.held
            answer.held_site = _site(sites, held.sample) if held else None
    baselines = baselines or []
    earlier = [_by_signature(b.suspects(threshold * BASELINE_SHARE).suspects) for b in baselines]
    for answer in answers:
        if earlier:
            signature = answer.suspect.signature
            answer.history = [_same_object_size(b, answer.suspect) or e.get(signature)
                              for b, e in zip(baselines, earlier)]
            answer.verdict = _verdict(answer.history, answer.suspect.retained)
    return Suspects(heap, answers, len(earlier), threshold)


def _site(sites: SiteTable, object_id: int) -> str:
    number = sites.site_of(object_id)
    return "unknown" if number is None or number >= len(sites.sites) else sites.describe(number)


def _same_object_size(baseline: Store, suspect: SuspectRow) -> int | None:
    """What the suspect's object retained in an earlier dump of the same process, found as the
    same objects along the same named path; None where that path is not there (another
    process), or has an unnamed step. Where the memory accumulated then may be elsewhere, so
    the earlier dump's own suspects cannot always tell."""
    path = suspect.path
    if suspect.count > 1 or not path:
        return None
    found = None
    for step, row in enumerate(path):
        found = baseline.retained(row.id)
        if found is None or found.type != row.type or found.value != row.value:
            return None
        if step and (row.name is None or
                     baseline.edge_names(path[step - 1].id, "references", [row.id]) != [row.name]):
            return None
    return found.retained if found is not None else None


def _by_signature(suspects: list[SuspectRow]) -> dict[str, int]:
    sizes: dict[str, int] = {}
    for suspect in suspects:
        sizes[suspect.signature] = sizes.get(suspect.signature, 0) + suspect.retained
    return sizes


def _verdict(history: list[int | None], now: int) -> Verdict:
    sizes = [size for size in history if size is not None]
    if not sizes:
        return "new"
    series = [*sizes, now]
    slack = STEADY * max(series)
    if max(series) - min(series) <= slack:
        return "stable"
    steps = list(zip(series, series[1:]))
    if all(b >= a - slack for a, b in steps) and now > series[0] + slack:
        return "growing"
    if now < series[0] - slack:
        return "shrinking"
    return "unknown"


_VERDICT_TEXT = {
    "new": "new since the baseline",
    "growing": "growing",
    "stable": "steady: a cache that holds this much, not a leak",
    "shrinking": "shrinking",
    "unknown": "changed up and down",
}


def headline(answer: Answer) -> str:
    """`__main__.leaked (builtins.list) holds 20.1 MiB, 82% of the heap: 5,000 x app.Leak`."""
    suspect = answer.suspect
    what = _namespace(suspect.path) or chain_of(suspect.path) or _object_text(suspect)
    if suspect.count > 1:
        what = f"{suspect.count:,} x {suspect.held.type if suspect.held else '?'} at the roots"
    text = f"{what} holds {format_bytes(suspect.retained)}, {answer.share:.0%} of the heap"
    held = suspect.held
    if held and suspect.count == 1 and held.count > 1:
        text += f": {held.count:,} x {held.type} ({format_bytes(held.retained)})"
    return text


def _namespace(path: list[RetainedRow]) -> str | None:
    """"`__main__`'s namespace" for a path that ends at a module's dict."""
    if len(path) == 2 and path[0].type == "builtins.module" and path[1].name == ".__dict__":
        return f"`{path[0].value}`'s namespace"
    return None


def _object_text(suspect: SuspectRow) -> str:
    row = suspect.object
    if row is None:
        return str(suspect.id)
    return f"{row.type} {row.id} {format_value(row.value, 30)}".rstrip()


def _made_at(site: str) -> str:
    return "allocation site unknown" if site == "unknown" else f"made at {site}"


def verdict_text(answer: Answer, baselines: int) -> str:
    if not baselines:
        return "growth unknown: compare with an earlier dump (--baseline)"
    sizes = " -> ".join("absent" if s is None else format_bytes(s) for s in [*answer.history,
                                                                              answer.suspect.retained])
    return f"{_VERDICT_TEXT[answer.verdict]} ({sizes})"


def render(result: Suspects) -> str:
    if not result.answers:
        return (f"No object or group of one type holds {result.threshold:.0%} or more of the "
                f"{format_bytes(result.heap)} heap: no leak suspect.")
    out = [f"{len(result.answers)} leak suspect{'s' if len(result.answers) > 1 else ''} in a heap of "
           f"{format_bytes(result.heap)}:"]
    for number, answer in enumerate(result.answers, 1):
        suspect = answer.suspect
        out.append("")
        out.append(f"{number}. {headline(answer)}")
        out.append(f"   {verdict_text(answer, result.baselines)}")
        row = suspect.object
        if row is not None:
            out.append(f"   accumulation point: {row.type} {row.id} "
                       f"(size {format_bytes(row.size)}, retains {format_bytes(suspect.retained)})")
        if answer.site is not None:
            out.append(f"   {_made_at(answer.site)}")
        held = suspect.held
        if answer.held_site is not None and held is not None and held.sample != suspect.id:
            many = " (the largest of them)" if held.count > 1 else ""
            out.append(f"   its {held.type}{many}: {_made_at(answer.held_site)}")
        if len(suspect.descent) > 1:
            top = suspect.descent[0]
            where = (f"module {top.value}" if top.type == "builtins.module" and top.value
                     else f"{top.type} {top.id} ({answer.inside})" if answer.inside
                     else f"{top.type} {top.id}")
            out.append(f"   inside {where}, which retains {format_bytes(top.retained or 0)}")
        if suspect.path and suspect.count > 1:
            out.append(f"   path of the largest: {chain_of(suspect.path)}")
        out.append(f"   signature: {suspect.signature} ({suspect.signature_text})")
    return "\n".join(out)


def to_json(result: Suspects) -> dict[str, Any]:
    return {
        "heap": result.heap,
        "threshold": result.threshold,
        "baselines": result.baselines,
        "suspects": [
            {**plain(answer.suspect), "share": answer.share, "label": chain_of(answer.suspect.path),
             "verdict": answer.verdict if result.baselines else None, "history": answer.history,
             "cache": answer.cache, "site": answer.site, "held_site": answer.held_site}
            for answer in result.answers
        ],
    }
