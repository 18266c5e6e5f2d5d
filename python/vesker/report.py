"""A short report on a store: the largest retainers and why the first of them is alive, then
the largest types, largest objects, and why the largest is kept."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from vesker.dump_memory import ProcessMemory, memory_sentence
from vesker.formatting import format_bytes, format_table, format_value, summary_table
from vesker.store import ALL_TYPES
from vesker.store_facts import read_facts

if TYPE_CHECKING:
    from vesker.engine import RetainedRow, Store, WhyAnswer
    from vesker.sites import SiteTable
    from vesker.suspects import Suspects
    from vesker_analysis import HeapDumpExplorer, ObjectSummary, TypeSummary

MODULE_TYPE = "builtins.module"


@dataclass
class Report:
    total: TypeSummary | None
    types: list[tuple[str, TypeSummary]]
    by_subtree: list[ObjectSummary]
    largest: ObjectSummary | None
    root: ObjectSummary | None
    path: list[ObjectSummary] | None
    retainers: list[RetainedRow] = field(default_factory=list)
    why: WhyAnswer | None = None
    memory: ProcessMemory | None = None  # the dumped process's, where the dump's sidecar gave it
    suspects: Suspects | None = None


def _modules_to_try(explorer: HeapDumpExplorer) -> list[ObjectSummary]:
    """Modules, `__main__` first, then the others by subtree size."""
    modules = explorer.get_objects_by_type_ordered_by_size(MODULE_TYPE, True, None)
    if not modules:
        modules = explorer.get_objects_by_type(MODULE_TYPE, None)
    main = [m for m in modules if m.value == "__main__"]
    return main + [m for m in modules if m.value != "__main__"]


def _path_from_a_module(
    explorer: HeapDumpExplorer, target: ObjectSummary
) -> tuple[ObjectSummary | None, list[ObjectSummary] | None]:
    for module in _modules_to_try(explorer):
        if module.subtree_size is not None and target.subtree_size is not None:
            if module.subtree_size < target.subtree_size:
                continue
        path = explorer.find_path_between_objects(module.id, target.id, frozenset())
        if path is not None:
            return module, path
    return None, None


def build_report(explorer: HeapDumpExplorer, rows: int = 8, retained: Store | None = None,
                 sites: SiteTable | None = None) -> Report:
    summaries = explorer.get_type_summaries()
    total = next((s for name, s in summaries if name == ALL_TYPES), None)
    types = sorted(
        ((name, s) for name, s in summaries if name != ALL_TYPES),
        key=lambda row: (-row[1].total_size, row[0]),
    )[:rows]
    by_subtree = explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, True, 0)[:rows]
    by_size = explorer.get_objects_by_type_ordered_by_size(ALL_TYPES, False, 0)
    largest = by_size[0] if by_size else None
    root, path = (None, None) if largest is None else _path_from_a_module(explorer, largest)
    report = Report(total, types, by_subtree, largest, root, path)
    if retained is not None:
        report.memory = read_facts(retained).memory
    if retained is not None and retained.retained_state() == "fresh":
        from vesker.suspects import find_suspects

        report.suspects = find_suspects(retained, sites=sites)
        report.retainers = retained.top_retained(limit=rows)
        # Modules hang off the root by definition, and the program's own objects say more than
        # the containers around them: the first retainer of a class of the program is the question.
        others = [r for r in report.retainers if r.type != MODULE_TYPE]
        target = next((r for r in others if not r.type.startswith("builtins.")), others[0] if others else None)
        report.why = None if target is None else retained.why(target.id)
    return report


def _retained_part(report: Report) -> list[str]:
    from vesker.retained_sizes import reference_chain

    out = ["Largest retainers (what each one alone keeps alive):"]
    out.append(format_table(
        ("ID", "TYPE", "SIZE", "RETAINED", "VALUE"),
        [[str(r.id), r.type, format_bytes(r.size), format_bytes(r.retained),
          format_value(r.value)] for r in report.retainers],
        {0, 2, 3},
    ))
    out.append("")
    if report.why is not None:
        target = report.why.dominators[-1]
        out.append(f"Why {target.id} ({target.type}, retaining "
                   f"{format_bytes(target.retained)}) is alive:")
        out.append("  " + reference_chain(report.why.path))
        out.append("")
    return out


def render_report(report: Report) -> str:
    out: list[str] = []
    if report.total is not None:
        out.append(
            f"The heap holds {report.total.count:,} objects, "
            f"{format_bytes(report.total.total_size)} in total."
        )
        if report.memory is not None:
            sentence = memory_sentence(report.total.total_size, report.memory)
            out.append(sentence[0].upper() + sentence[1:] + ".")
        out.append("")
    if report.suspects is not None:
        from vesker.suspects import render

        out.append(render(report.suspects))
        out.append("")
    if report.retainers:
        out.extend(_retained_part(report))
    out.append("Largest types by total size:")
    out.append(
        format_table(
            ("TYPE", "COUNT", "TOTAL SIZE"),
            [[name, f"{s.count:,}", format_bytes(s.total_size)] for name, s in report.types],
            {1, 2},
        )
    )
    out.append("")
    out.append("Largest objects by subtree size (everything they keep alive):")
    out.append(summary_table(report.by_subtree))
    out.append("")
    largest = report.largest
    if largest is None:
        return "\n".join(out)
    description = f"{largest.type} {format_value(largest.value, 30)}".rstrip()
    out.append(f"The largest single object is {largest.id} ({description}, "
               f"{format_bytes(largest.size)}).")
    if report.path is None or report.root is None:
        out.append("No module reaches it.")
        return "\n".join(out)
    out.append(f"It is kept alive through module {report.root.value or report.root.id}:")
    out.append(summary_table(report.path))
    return "\n".join(out)
