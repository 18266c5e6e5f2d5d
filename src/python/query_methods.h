// The read-only methods of HeapDumpExplorer.
#pragma once

#include <Python.h>

#include <span>

#include "core/explorer/heap_dump_explorer.h"
#include "python/arguments.h"

namespace vesker::python {

inline constexpr const char* kGetObjectParameters[] = {"obj_id"};
inline constexpr Signature kGetObject{"HeapDumpExplorer.get_object", kGetObjectParameters};
PyObject* get_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments);

}  // namespace vesker::python
