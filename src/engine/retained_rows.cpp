#include "engine/retained_rows.h"

#include "core/queries/object_lookup.h"
#include "binding/values.h"
#include "engine/record_types.h"

namespace vesker::engine {

using binding::none;
using binding::number;
using binding::optional_text;
using binding::text;

Result<Row> row_of(const Transaction& txn, const AnalysisStore& store, std::uint64_t id) {
  Row row;
  VESKER_ASSIGN_OR_RETURN(row.summary, get_summary(store.store, txn, id));
  VESKER_ASSIGN_OR_RETURN(row.facts, dominators::read_retained(txn, store, id));
  return row;
}

Result<std::vector<Row>> rows_of(const Transaction& txn, const AnalysisStore& store,
                                 const std::vector<std::uint64_t>& ids, bool with_names) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    VESKER_ASSIGN_OR_RETURN(Row row, row_of(txn, store, ids[i]));
    if (with_names && i > 0) {
      VESKER_ASSIGN_OR_RETURN(row.name, dominators::reference_name(txn, store, ids[i - 1], ids[i]));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

PyObject* retained_row(const ModuleState& module, const Row& row) {
  const bool known = row.facts.has_value();
  const std::uint8_t flags = known ? row.facts->flags : 0;
  return record_of(module, RecordType::kRetainedRow, {
      {"id", number(row.summary.id)},
      {"type", text(row.summary.type)},
      {"value", optional_text(row.summary.value)},
      {"size", number(row.summary.size)},
      {"retained", known ? number(row.facts->retained) : none()},
      {"idom", known ? binding::optional_number(row.facts->idom) : none()},
      {"root_edge", PyBool_FromLong(flags & dominators::kStoredRootEdge)},
      {"unreachable", PyBool_FromLong(flags & dominators::kStoredUnreachable)},
      {"name", optional_text(row.name)},
  });
}

PyObject* retained_rows(const ModuleState& module, const std::vector<Row>& rows) {
  return binding::list_of(rows, [&](const Row& row) { return retained_row(module, row); });
}

}  // namespace vesker::engine
