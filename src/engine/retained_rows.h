// Objects with their retained facts as the analyses list them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"
#include "core/store/analysis_store.h"
#include "engine/module_state.h"

namespace vesker::engine {

// One object as the listings show it.
struct Row {
  ObjectSummary summary;
  std::optional<dominators::RetainedFacts> facts;
  std::optional<std::string> name;  // of the reference from the row before
};

Result<Row> row_of(const Transaction& txn, const AnalysisStore& store, std::uint64_t id);
// Rows of a chain of objects; with names, each row names the reference from the row before.
Result<std::vector<Row>> rows_of(const Transaction& txn, const AnalysisStore& store,
                                 const std::vector<std::uint64_t>& ids, bool with_names);
// RetainedRow records of the module whose state is `module`.
PyObject* retained_row(const ModuleState& module, const Row& row);
PyObject* retained_rows(const ModuleState& module, const std::vector<Row>& rows);

}  // namespace vesker::engine
