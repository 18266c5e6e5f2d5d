// The instance layout of HeapDumpExplorer and the frame every method runs in.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "core/explorer/heap_dump_explorer.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/heap_dump_explorer.h"
#include "python/shared_borrow.h"

namespace vesker::python {

struct ExplorerObject {
  PyObject_HEAD
  std::unique_ptr<HeapDumpExplorer> explorer;
  std::atomic<std::intptr_t> borrows;
};

// A method body: the explorer (borrowed for the call) and its bound arguments.
template <std::size_t N>
using MethodBody = PyObject* (*)(HeapDumpExplorer& explorer, std::span<PyObject* const, N> arguments);

// The fast-call entry point of one method: checks the receiver, binds the arguments, holds a
// shared borrow for the call and turns broken invariants into PanicException.
template <const Signature& S, std::size_t N, MethodBody<N> Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = heap_dump_explorer_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(self, type)) {
      return PyErr_Format(PyExc_TypeError, "%s() requires a 'HeapDumpExplorer' receiver", S.qualified_name);
    }
    std::array<PyObject*, N> bound{};
    if (!bind_arguments(S, args, nargs, kwnames, bound)) return nullptr;
    auto& object = *reinterpret_cast<ExplorerObject*>(self);
    SharedBorrow borrow(object.borrows);
    return Body(*object.explorer, std::span<PyObject* const, N>(bound));
  });
}

}  // namespace vesker::python
