// The object rows of the tolerant lookups, shared by the methods that return them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/queries/tolerant_lookup.h"
#include "engine/module_state.h"

namespace vesker::engine {

const char* state_name(TolerantSummary::State state);

// An ObjectRow; a missing object has None for all but its id and state. A new reference, or
// nullptr with the Python error set.
PyObject* object_row(const ModuleState& module, std::uint64_t id, const std::optional<ObjectSummary>& summary,
                     const char* state);

PyObject* object_rows(const ModuleState& module, const std::vector<TolerantSummary>& summaries);

}  // namespace vesker::engine
