// Rows of the tolerant lookups as Python dicts, shared by the methods that return them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/queries/tolerant_lookup.h"

namespace vesker::engine {

const char* state_name(TolerantSummary::State state);

// {"id", "type", "value", "size", "subtree_size", "state"}; a missing object has None for all
// but its id and state. A new reference, or nullptr with the Python error set.
PyObject* summary_dict(std::uint64_t id, const std::optional<ObjectSummary>& summary, const char* state);

PyObject* summary_list(const std::vector<TolerantSummary>& summaries);

}  // namespace vesker::engine
