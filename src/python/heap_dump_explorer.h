// The Python class HeapDumpExplorer.
#pragma once

#include <Python.h>

namespace vesker::python {

// The class's type object, created on first use; null with an exception set on failure.
PyTypeObject* heap_dump_explorer_type();

}  // namespace vesker::python
