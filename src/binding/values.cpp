#include "binding/values.h"

namespace vesker::binding {

PyObject* number(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

PyObject* readable_text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

PyObject* optional_text(const std::optional<std::string>& value) { return value ? text(*value) : none(); }

PyObject* optional_number(std::optional<std::uint64_t> value) { return value ? number(*value) : none(); }

PyObject* none() { return Py_NewRef(Py_None); }

PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  bool ok = bool(dict);
  for (const auto& [key, value] : items) {
    PyRef owned = PyRef::steal(value);
    if (ok && (!owned || PyDict_SetItemString(dict.get(), key, owned.get()) < 0)) ok = false;
  }
  return ok ? dict.release() : nullptr;
}

}  // namespace vesker::binding
