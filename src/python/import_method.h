// HeapDumpExplorer.import_lines.
#pragma once

#include <Python.h>

#include <span>

#include "binding/arguments.h"
#include "core/explorer/heap_dump_explorer.h"

namespace vesker::python {

inline constexpr const char* kImportLinesParameters[] = {"lines", "estimator_precision"};
inline constexpr binding::Signature kImportLines{"HeapDumpExplorer.import_lines", kImportLinesParameters};
PyObject* import_lines(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments);

}  // namespace vesker::python
