#include "binding/errors.h"

#include <atomic>
#include <cstring>

#include "binding/once.h"
#include "binding/py_ref.h"

namespace vesker::binding {
namespace {

// One exception class per kind of error; every one derives from what the modules raised before
// kinds were told apart, so that callers catching those keep working.
struct ClassOfKind {
  ErrorKind kind;
  const char* name;  // the class's qualified name; the part after the last dot is its attribute
  const char* doc;
  PyObject* const* base;
  std::atomic<PyObject*> created{nullptr};
};

ClassOfKind kinds[] = {
    {ErrorKind::not_found, "vesker.errors.NotFoundError", "An object asked for by id has no record; `object_id`.",
     &PyExc_RuntimeError},
    {ErrorKind::not_computed, "vesker.errors.NotComputedError",
     "An object lacks a size the query needs (the store was imported without estimates); `object_id`.",
     &PyExc_RuntimeError},
    {ErrorKind::bad_record, "vesker.errors.BadRecordError",
     "A dump line or stored record does not decode. Of a dump line: `reason` and `column`, else None.",
     &PyExc_RuntimeError},
    {ErrorKind::rejected_key, "vesker.errors.RejectedKeyError",
     "The store refuses a key or value by its size (an empty or overlong type name).", &PyExc_RuntimeError},
    {ErrorKind::store_full, "vesker.errors.StoreFullError", "The store's map has no room left.", &PyExc_RuntimeError},
    {ErrorKind::damaged, "vesker.errors.DamagedStoreError", "The store's data file is inconsistent.",
     &PyExc_RuntimeError},
    {ErrorKind::busy, "vesker.errors.StoreBusyError",
     "The store is held beyond what it can share (open exclusively, or its reader slots taken).",
     &PyExc_RuntimeError},
    {ErrorKind::cancelled, "vesker.engine.Cancelled", "The query was stopped because its Cancellation was set.",
     &PyExc_Exception},
};

PyObject* class_of(ClassOfKind& entry) {
  return create_once(entry.created, [&] {
    return PyErr_NewExceptionWithDoc(entry.name, entry.doc, *entry.base, nullptr);
  });
}

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

// The class for `kind`: its own, or RuntimeError for a plain failure.
PyObject* exception_class(ErrorKind kind) {
  for (ClassOfKind& entry : kinds) {
    if (entry.kind == kind) return class_of(entry);
  }
  return PyExc_RuntimeError;
}

// What an error carries beside its text, as attributes of the exception.
int set_details(PyObject* exception, const Error& error) {
  switch (error.kind()) {
    case ErrorKind::not_found:
    case ErrorKind::not_computed: {
      PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(error.object_id()));
      return id ? PyObject_SetAttrString(exception, "object_id", id.get()) : -1;
    }
    case ErrorKind::bad_record: {
      const bool of_line = error.reason().size() != error.text().size();
      PyRef reason = PyRef::steal(
          of_line ? PyUnicode_DecodeUTF8(error.reason().data(), static_cast<Py_ssize_t>(error.reason().size()),
                                         "replace")
                  : Py_NewRef(Py_None));
      PyRef column = PyRef::steal(of_line ? PyLong_FromSize_t(error.column()) : Py_NewRef(Py_None));
      if (!reason || !column) return -1;
      if (PyObject_SetAttrString(exception, "reason", reason.get()) < 0) return -1;
      return PyObject_SetAttrString(exception, "column", column.get());
    }
    default:
      return 0;
  }
}

}  // namespace

PyObject* raise(const Error& error) {
  if (error.holds_python_exception()) {
    if (!PyErr_Occurred()) return raise_panic("an error was reported without a Python exception");
    return nullptr;
  }
  // Messages may quote stored text; never let a stray byte turn into a second failure.
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(error.text().data(), static_cast<Py_ssize_t>(error.text().size()), "replace"));
  if (!text) return nullptr;
  if (error.kind() == ErrorKind::storage) {
    // OSError(errno, text): callers tell a full disk by its number, never by the text.
    PyRef arguments = PyRef::steal(Py_BuildValue("(iO)", error.os_code(), text.get()));
    if (arguments) PyErr_SetObject(PyExc_OSError, arguments.get());
    return nullptr;
  }
  PyObject* type = exception_class(error.kind());
  if (type == nullptr) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception || set_details(exception.get(), error) < 0) return nullptr;
  PyErr_SetObject(type, exception.get());
  return nullptr;
}

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
  return nullptr;
}

int add_exception_classes(PyObject* module) {
  for (ClassOfKind& entry : kinds) {
    PyObject* type = class_of(entry);
    const char* dot = std::strrchr(entry.name, '.');
    if (type == nullptr || PyModule_AddObjectRef(module, dot + 1, type) < 0) return -1;
  }
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) return -1;
  return PyModule_AddObjectRef(module, "PanicException", panic);
}

}  // namespace vesker::binding
