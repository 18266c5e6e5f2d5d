// EstimatorPrecision and the read-only result classes, and the conversions of results to Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/queries/object_lookup.h"

namespace vesker::python {

// Each class's type object, created on first use and kept for the life of the process;
// null with an exception set if creating it failed.
PyTypeObject* estimator_precision_type();
PyTypeObject* object_record_type();
PyTypeObject* object_summary_type();
PyTypeObject* type_summary_type();

// The precision an EstimatorPrecision argument stands for.
Result<EstimatorPrecision> to_estimator_precision(PyObject* object, const char* name);

PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::string_view text);
PyObject* to_python(const std::optional<std::string>& text);
PyObject* to_python(std::optional<std::uint64_t> value);
PyObject* to_python(ObjectSummary&& summary);
PyObject* to_python(std::vector<ObjectSummary>&& summaries);
PyObject* to_python(std::optional<std::vector<ObjectSummary>>&& summaries);
PyObject* to_python(std::optional<ObjectRecord>&& record);
PyObject* to_python(TypeSummary summary);
PyObject* to_python(std::vector<std::pair<Type, TypeSummary>>&& rows);

}  // namespace vesker::python
