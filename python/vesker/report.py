"""A short report on a store: largest types, largest objects, and why the largest is kept."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

from vesker.formatting import format_bytes, format_table, format_value, summary_table
from vesker.store import ALL_TYPES

if TYPE_CHECKING:
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


def build_report(explorer: HeapDumpExplorer, rows: int = 8) -> Report:
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
    return Report(total, types, by_subtree, largest, root, path)


def render_report(report: Report) -> str:
    out: list[str] = []
    if report.total is not None:
        out.append(
            f"The heap holds {report.total.count:,} objects, "
            f"{format_bytes(report.total.total_size)} in total."
        )
        out.append("")
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
