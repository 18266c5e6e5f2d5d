// Building blocks of the method table.
#pragma once

#include <Python.h>

#include <utility>

#include "core/common/error.h"
#include "binding/errors.h"
#include "python/explorer_object.h"
#include "python/result_classes.h"

namespace vesker::python {

// One fast-call method with keywords.
template <const binding::Signature& S, std::size_t N, MethodBody<N> Body>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_method<S, N, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

// A core result as a Python object, or its error raised.
template <class T>
PyObject* result_to_python(Result<T>&& result) {
  if (!result) return binding::raise(result.error());
  return to_python(std::move(*result));
}

}  // namespace vesker::python
