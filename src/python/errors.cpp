#include "python/errors.h"

#include <atomic>

#include "python/once.h"

namespace vesker::python {
namespace {

// Derived from BaseException so that `except Exception` does not swallow a broken invariant.
PyObject* panic_exception_type() {
  static std::atomic<PyObject*> type{nullptr};
  return create_once(type, [] {
    return PyErr_NewExceptionWithDoc(
        "vesker_analysis.PanicException",
        "An internal invariant of vesker_analysis was broken; the operation was stopped and rolled back.",
        PyExc_BaseException, nullptr);
  });
}

}  // namespace

PyObject* raise(const Error& error) {
  if (error.holds_python_exception()) {
    if (!PyErr_Occurred()) return raise_panic("an error was reported without a Python exception");
    return nullptr;
  }
  // Messages may quote stored text; never let a stray byte turn into a second failure.
  PyObject* text = PyUnicode_DecodeUTF8(error.text().data(), static_cast<Py_ssize_t>(error.text().size()), "replace");
  if (text == nullptr) return nullptr;
  switch (error.kind()) {
    case ErrorKind::storage: {
      // OSError(errno, text): callers tell a full disk by its number, never by the text.
      PyObject* arguments = Py_BuildValue("(iN)", error.os_code(), text);
      if (arguments == nullptr) return nullptr;
      PyErr_SetObject(PyExc_OSError, arguments);
      Py_DECREF(arguments);
      return nullptr;
    }
    case ErrorKind::failure:
    case ErrorKind::python_exception:
      break;
  }
  PyErr_SetObject(PyExc_RuntimeError, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
  return nullptr;
}

}  // namespace vesker::python
