// The instance layout of HeapDumpExplorer, and the explorer its methods receive.
#pragma once

#include <Python.h>

#include <memory>

#include "binding/method.h"
#include "core/explorer/heap_dump_explorer.h"

namespace vesker::python {

struct ExplorerObject {
  PyObject_HEAD
  std::unique_ptr<HeapDumpExplorer> explorer;
};

}  // namespace vesker::python

namespace vesker::binding {

// A method body of HeapDumpExplorer receives the explorer, which lives as long as its object:
// the call's own reference keeps that alive.
template <>
inline HeapDumpExplorer& receiver<HeapDumpExplorer&>(PyObject* self) {
  return *reinterpret_cast<python::ExplorerObject*>(self)->explorer;
}

}  // namespace vesker::binding
