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

// The fast-call entry point of one method: binds the arguments, holds a
// shared borrow for the call and turns broken invariants into PanicException.
template <const Signature& S, std::size_t N, MethodBody<N> Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    // The method descriptors of the class have checked the receiver already.
    std::array<PyObject*, N> bound{};
    if (!bind_arguments(S, args, nargs, kwnames, bound)) return nullptr;
    auto& object = *reinterpret_cast<ExplorerObject*>(self);
    SharedBorrow borrow(object.borrows);
    return Body(*object.explorer, std::span<PyObject* const, N>(bound));
  });
}

}  // namespace vesker::python
