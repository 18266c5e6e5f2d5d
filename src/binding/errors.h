// How core errors and internal-error stops reach Python.
#pragma once

#include <Python.h>

#include "core/common/error.h"

namespace vesker::binding {

// Sets the Python exception for `error` (the class of its kind, with what the kind carries as
// attributes) and returns null, for use as a method's result.
PyObject* raise(const Error& error);

// Adds the class of every kind of error, and PanicException, to `module`; -1 with an exception
// set on failure.
int add_exception_classes(PyObject* module);

// Raises PanicException with `message`; the class is created once per process.
PyObject* raise_panic(const char* message);

// Runs a method body, turning a broken invariant into PanicException. Every RAII owner in
// the body has already unwound when the exception arrives here.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const InternalError& stop) {
    return raise_panic(stop.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    return raise_panic(unexpected.what());
  }
}

// The error for a Python exception that a call into the interpreter has just set.
inline Error pending() { return Error::python_exception_pending(); }

}  // namespace vesker::binding
