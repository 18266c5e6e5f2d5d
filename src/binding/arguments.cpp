#include "binding/arguments.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "binding/compat.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace vesker::binding {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  // The interpreter's own style: 'a', 'a' and 'b', 'a', 'b', and 'c'.
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool fail_binding(const Signature& signature, const std::string& rest) {
  const std::string message = std::string(signature.qualified_name) + "()" + rest;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

std::size_t positional_count(const Signature& signature) {
  return signature.parameters.size() - signature.keyword_only;
}

std::size_t required_count(const Signature& signature) {
  return std::min(signature.required, positional_count(signature));
}

// Places one keyword argument; false (with TypeError set) for an unknown or repeated name.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) {
      if (i < signature.positional_only) {
        return fail_binding(signature, std::string(" got some positional-only arguments passed as keyword "
                                                   "arguments: '") + signature.parameters[i] + "'");
      }
      if (bound[i] != nullptr) {
        return fail_binding(signature, std::string(" got multiple values for argument '") +
                                           signature.parameters[i] + "'");
      }
      bound[i] = value;
      return true;
    }
  }
  PyRef text = PyRef::steal(PyObject_Str(name));
  if (!text) return false;
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) return false;
  return fail_binding(signature, std::string(" got an unexpected keyword argument '") + utf8 + "'");
}

bool bind_positional(const Signature& signature, Py_ssize_t nargs, std::span<PyObject*> bound,
                     PyObject* const* args) {
  const auto declared = static_cast<Py_ssize_t>(positional_count(signature));
  if (nargs > declared) {
    const auto required = static_cast<Py_ssize_t>(required_count(signature));
    const std::string takes = required == declared
                                  ? std::to_string(declared)
                                  : "from " + std::to_string(required) + " to " + std::to_string(declared);
    return fail_binding(signature, " takes " + takes + " positional arguments but " + std::to_string(nargs) +
                                       (nargs == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  return true;
}

bool check_complete(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required_count(signature); ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  return fail_binding(signature, " missing " + std::to_string(missing.size()) + " required positional " +
                                     (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  if (!bind_positional(signature, nargs, bound, args)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) return false;
  }
  return check_complete(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  if (!bind_positional(signature, PyTuple_GET_SIZE(args), bound, PySequence_Fast_ITEMS(args))) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, bound)) return false;
    }
  }
  return check_complete(signature, bound);
}

Error argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return pending();
  PyRef original = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(original.get()));
  if (!text) return pending();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return pending();
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return pending();
  // The cause chain stays what the conversion gave, so the wrapper adds no noise of its own.
  PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(wrapped.release());
  return pending();
}

Error argument_check(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return pending();
}

Error not_an_instance(PyObject* object, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(object)->tp_name, expected);
  return pending();
}

Result<std::uint64_t> to_u64(PyObject* object, const char* name) {
  // PyLong_AsUInt64 would report negative values as ValueError; callers rely on OverflowError.
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return fail(argument_error(name));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(argument_error(name));
  return static_cast<std::uint64_t>(value);
}

Result<std::uint32_t> to_u32(PyObject* object, const char* name) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t value, to_u64(object, name));
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return fail(argument_check(PyExc_OverflowError, "Python int too large to convert to C unsigned int"));
  }
  return static_cast<std::uint32_t>(value);
}

Result<Py_ssize_t> to_ssize(PyObject* object, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return fail(argument_error(name));
  const Py_ssize_t value = PyLong_AsSsize_t(index.get());
  if (value == -1 && PyErr_Occurred()) return fail(argument_error(name));
  return value;
}

Result<double> to_double(PyObject* object, const char* name) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return fail(argument_error(name));
  return value;
}

Result<std::string_view> to_text(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    not_an_instance(object, "str");
    return fail(argument_error(name));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return fail(argument_error(name));
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<std::string_view> to_c_text(PyObject* object, const char* name) {
  VESKER_ASSIGN_OR_RETURN(const std::string_view text, to_text(object, name));
  if (text.find('\0') != std::string_view::npos) {
    return fail(argument_check(PyExc_ValueError, "embedded null character"));
  }
  return text;
}

Result<std::string> to_path(PyObject* object, const char* name) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(object, &converted) == 0) return fail(argument_error(name));
  PyRef bytes = PyRef::steal(converted);
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Result<PyObject*> to_instance(PyObject* object, PyTypeObject* type, const char* name) {
  if (PyObject_TypeCheck(object, type)) return object;
  not_an_instance(object, type->tp_name);
  return fail(argument_error(name));
}

Result<bool> to_truth(PyObject* object, const char* name) {
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return fail(argument_error(name));
  return truth != 0;
}

Result<bool> to_bool(PyObject* object, const char* name) {
  if (!PyBool_Check(object)) {
    not_an_instance(object, "bool");
    return fail(argument_error(name));
  }
  return object == Py_True;
}

Result<std::optional<std::uint64_t>> to_page(PyObject* object, const char* name) {
  if (object == Py_None) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t page, to_u64(object, name));
  return page;
}

Result<absl::flat_hash_set<std::uint64_t>> to_id_set(PyObject* object, const char* name) {
  if (!PyAnySet_Check(object)) {
    not_an_instance(object, "set' or 'frozenset");
    return fail(argument_error(name));
  }
  absl::flat_hash_set<std::uint64_t> ids;
  ids.reserve(static_cast<std::size_t>(PySet_GET_SIZE(object)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return fail(argument_error(name));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, to_u64(item.get(), name));
    ids.insert(id);
  }
  if (PyErr_Occurred()) return fail(argument_error(name));
  return ids;
}

Result<std::vector<std::uint64_t>> to_id_list(PyObject* object, const char* name, const char* not_a_sequence) {
  PyRef items = PyRef::steal(PySequence_Fast(object, not_a_sequence));
  if (!items) return fail(pending());
  std::vector<std::uint64_t> ids;
  ids.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, to_u64(PySequence_Fast_GET_ITEM(items.get(), i), name));
    ids.push_back(id);
  }
  return ids;
}

Result<Buffer> Buffer::of(PyObject* object, const char* name) {
  Buffer buffer;
  if (PyObject_GetBuffer(object, &buffer.view_, PyBUF_SIMPLE) < 0) {
    buffer.view_.obj = nullptr;
    return fail(argument_error(name));
  }
  return buffer;
}

}  // namespace vesker::binding
