// The method table of HeapDumpExplorer.
#pragma once

#include <Python.h>

namespace vesker::python {

PyMethodDef* explorer_methods();

}  // namespace vesker::python
