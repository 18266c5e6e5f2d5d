#include "walker/type_facts.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "binding/py_ref.h"

namespace vesker::walker {

namespace {

using binding::PyRef;

// Appends the first `limit` code points as UTF-8, lone surrogates as '?', as
// the dumper's encode("utf-8", "replace") does. Reads the characters where
// they are: asking for the UTF-8 form would cache it inside the string and
// so change the object being dumped.
void append_utf8(std::string& out, PyObject* text, Py_ssize_t limit) {
  const Py_ssize_t length = std::min(PyUnicode_GET_LENGTH(text), limit);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  if (PyUnicode_IS_ASCII(text)) {
    out.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
    return;
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

std::optional<std::string> text_of(PyObject* text, Py_ssize_t limit) {
  if (text == nullptr || !PyUnicode_Check(text)) return std::nullopt;
  std::string out;
  append_utf8(out, text, limit);
  return out;
}

// Names count only when they are plain strings.
std::optional<std::string> name_of(PyObject* name) {
  if (name == nullptr || !PyUnicode_CheckExact(name)) return std::nullopt;
  std::string out;
  append_utf8(out, name, kValueLimit);
  return out;
}

// A new reference to a str, or null with the error cleared.
std::optional<std::string> owned_text(PyObject* text, Py_ssize_t limit) {
  PyRef owned = PyRef::steal(text);
  if (!owned) {
    PyErr_Clear();
    return std::nullopt;
  }
  return text_of(owned.get(), limit);
}

std::optional<std::string> int_text(PyObject* number) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (small == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow == 0) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, small).ptr;
    return std::string(digits, end);
  }
  // Decimal conversion of huge integers is quadratic; a bit count says enough.
  PyRef bits = PyRef::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "bit_length", "O", number));
  const long long count = bits ? PyLong_AsLongLong(bits.get()) : -1;
  if (count < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (count > 4 * kValueLimit) return "<int of " + std::to_string(count) + " bits>";
  return owned_text(PyLong_Type.tp_repr(number), kValueLimit);
}

std::optional<std::string> bytes_text(PyObject* bytes) {
  const Py_ssize_t size = std::min(PyBytes_GET_SIZE(bytes), kValueLimit);
  PyRef head = PyRef::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes), size));
  if (!head) {
    PyErr_Clear();
    return std::nullopt;
  }
  return owned_text(PyBytes_Type.tp_repr(head.get()), 4 * kValueLimit);
}

std::optional<std::string> float_text(double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::string out(text);
  PyMem_Free(text);
  return out;
}

bool is_subtype(PyTypeObject* type, PyTypeObject* base) { return PyType_IsSubtype(type, base); }

ValueKind value_kind(PyTypeObject* type) {
  // Order matters: bool is an int, and every class is a type.
  if (is_subtype(type, &PyUnicode_Type)) return ValueKind::kStr;
  if (is_subtype(type, &PyBytes_Type)) return ValueKind::kBytes;
  if (is_subtype(type, &PyBool_Type)) return ValueKind::kBool;
  if (is_subtype(type, &PyLong_Type)) return ValueKind::kInt;
  if (is_subtype(type, &PyFloat_Type)) return ValueKind::kFloat;
  if (is_subtype(type, &PyComplex_Type)) return ValueKind::kComplex;
  if (type == &PyFunction_Type) return ValueKind::kFunctionName;
  if (type == &PyCFunction_Type) return ValueKind::kBuiltinName;
  if (is_subtype(type, &PyType_Type)) return ValueKind::kClassName;
  if (is_subtype(type, &PyModule_Type)) return ValueKind::kModuleName;
  return ValueKind::kNone;
}

ReferentsKind referents_kind(PyTypeObject* type) {
  if (is_subtype(type, &PyFrame_Type)) return ReferentsKind::kFrame;
  if (is_subtype(type, &PyTraceBack_Type)) return ReferentsKind::kTraceback;
  if (type == &PyDict_Type) return ReferentsKind::kDictItems;
  if (is_subtype(type, &PyDict_Type)) return ReferentsKind::kDictSubclass;
  if (is_subtype(type, &PyCode_Type)) return ReferentsKind::kCode;
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) return ReferentsKind::kTraverse;
  return ReferentsKind::kNone;
}

// The first __sizeof__ along the method resolution order, borrowed (types
// hold their dictionaries for as long as the walk holds the type).
PyObject* first_sizeof(PyTypeObject* type, bool c_only) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    PyRef namespace_ = PyRef::steal(PyType_GetDict(base));
    if (!namespace_) {
      PyErr_Clear();
      continue;
    }
    PyObject* found = PyDict_GetItemString(namespace_.get(), "__sizeof__");  // borrowed
    if (found == nullptr) continue;
    if (Py_IS_TYPE(found, &PyMethodDescr_Type)) return found;
    if (!c_only) return found;
  }
  return nullptr;
}

SizeRule size_rule(PyTypeObject* type, std::size_t gc_header, bool python_sizeof) {
  SizeRule rule;
  PyObject* first = first_sizeof(type, false);
  if (python_sizeof && first != nullptr && !Py_IS_TYPE(first, &PyMethodDescr_Type)) {
    rule.through_getsizeof = true;
    return rule;
  }
  rule.method = first_sizeof(type, true);  // object's at the latest
  if (rule.method != nullptr) {
    PyMethodDef* definition = reinterpret_cast<PyMethodDescrObject*>(rule.method)->d_method;
    constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O |
                               METH_FASTCALL | METH_METHOD;
    if ((definition->ml_flags & kCallFlags) == METH_NOARGS) rule.direct = definition->ml_meth;
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
    rule.header = gc_header;
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF)) {
      rule.header += 2 * sizeof(PyObject*);
    }
    // Classes are tracked by the collector only when they are heap types.
    rule.per_object_header = PyType_IsSubtype(type, &PyType_Type);
  }
  return rule;
}

}  // namespace

TypeFacts describe_type(PyTypeObject* type, std::size_t gc_header, bool python_sizeof) {
  TypeFacts facts;
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) PyErr_Clear();
  std::optional<std::string> module_text = text_of(module.get(), PY_SSIZE_T_MAX);
  PyRef qualname = PyRef::steal(PyType_GetQualName(type));
  if (!qualname) PyErr_Clear();
  std::optional<std::string> qualname_text = text_of(qualname.get(), PY_SSIZE_T_MAX);
  if (!qualname_text) {
    qualname_text = owned_text(PyBaseObject_Type.tp_repr(reinterpret_cast<PyObject*>(type)),
                               PY_SSIZE_T_MAX);
  }
  facts.name = module_text.value_or("builtins") + "." + qualname_text.value_or("?");
  facts.value_kind = value_kind(type);
  facts.referents_kind = referents_kind(type);
  facts.size_rule = size_rule(type, gc_header, python_sizeof);
  return facts;
}

std::optional<std::string> render_value(ValueKind kind, PyObject* object) {
  switch (kind) {
    case ValueKind::kNone:
      return std::nullopt;
    case ValueKind::kStr:
      return text_of(object, kValueLimit);
    case ValueKind::kBytes:
      return bytes_text(object);
    case ValueKind::kBool:
      return PyObject_IsTrue(object) == 1 ? "True" : "False";
    case ValueKind::kInt:
      return int_text(object);
    case ValueKind::kFloat:
      return float_text(PyFloat_AS_DOUBLE(object));
    case ValueKind::kComplex:
      return owned_text(PyComplex_Type.tp_repr(object), PY_SSIZE_T_MAX);
    case ValueKind::kFunctionName:
      return name_of(reinterpret_cast<PyFunctionObject*>(object)->func_qualname);
    case ValueKind::kBuiltinName:
      return owned_text(PyObject_GetAttrString(object, "__qualname__"), kValueLimit);
    case ValueKind::kClassName:
      return owned_text(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(object)), kValueLimit);
    case ValueKind::kModuleName: {
      PyObject* namespace_ = PyModule_GetDict(object);  // borrowed, never fails for a module
      PyObject* name = namespace_ ? PyDict_GetItemString(namespace_, "__name__") : nullptr;
      return name_of(name);
    }
  }
  return std::nullopt;
}

}  // namespace vesker::walker
