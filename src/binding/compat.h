// The few C API functions and declarations the modules use that appeared only in CPython 3.14 (or 3.12).
// Older interpreters get equivalents here; from 3.14 on the real functions are used.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030E0000
inline PyObject* PyLong_FromUInt64(std::uint64_t value) {
  static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
  return PyLong_FromUnsignedLongLong(value);
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// PyMemberDef, which Python.h itself declares only from 3.12 on.
#include <structmember.h>

// The exception being raised, normalized, with its traceback attached; clears the error indicator.
inline PyObject* PyErr_GetRaisedException() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}
inline void PyErr_SetRaisedException(PyObject* exception) {
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
}
#endif
