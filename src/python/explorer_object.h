// The instance layout of HeapDumpExplorer and the frame every method runs in.
#pragma once

#include <Python.h>

#include <array>
#include <memory>
#include <span>

#include "core/explorer/heap_dump_explorer.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "python/heap_dump_explorer.h"

namespace vesker::python {

struct ExplorerObject {
  PyObject_HEAD
  std::unique_ptr<HeapDumpExplorer> explorer;
};

// A method body: the explorer and its bound arguments. The explorer lives as long as its
// object, which the call's own reference keeps alive.
template <std::size_t N>
using MethodBody = PyObject* (*)(HeapDumpExplorer& explorer, std::span<PyObject* const, N> arguments);

// The fast-call entry point of one method: binds the arguments and turns broken invariants into
// PanicException.
template <const binding::Signature& S, std::size_t N, MethodBody<N> Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::guarded([&]() -> PyObject* {
    // The method descriptors of the class have checked the receiver already.
    std::array<PyObject*, N> bound{};
    if (!binding::bind_arguments(S, args, nargs, kwnames, bound)) return nullptr;
    return Body(*reinterpret_cast<ExplorerObject*>(self)->explorer, std::span<PyObject* const, N>(bound));
  });
}

}  // namespace vesker::python
