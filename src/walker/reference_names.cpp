#include "walker/reference_names.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "binding/py_ref.h"
#include "walker/type_facts.h"

namespace vesker::walker {

namespace {

using binding::PyRef;

// Dict keys in reference names are for recognising the entry, not for reading it.
constexpr Py_ssize_t kKeyLimit = 40;

// A repr made here (never the program's object): its UTF-8 form may be cached in it.
std::optional<std::string> repr_text(PyObject* made) {
  PyRef text = PyRef::steal(made);
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> head_repr(PyObject* key) {
  if (PyUnicode_CheckExact(key)) {
    PyRef head = PyRef::steal(PyUnicode_Substring(key, 0, kKeyLimit));
    if (!head) {
      PyErr_Clear();
      return std::nullopt;
    }
    std::optional<std::string> text = repr_text(PyUnicode_Type.tp_repr(head.get()));
    if (text && PyUnicode_GET_LENGTH(key) > kKeyLimit) *text += "...";
    return text;
  }
  const Py_ssize_t length = std::min(PyBytes_GET_SIZE(key), kKeyLimit);
  PyRef head = PyRef::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(key), length));
  if (!head) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<std::string> text = repr_text(PyBytes_Type.tp_repr(head.get()));
  if (text && PyBytes_GET_SIZE(key) > kKeyLimit) *text += "...";
  return text;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

const std::string& NameTexts::add(std::string_view name) {
  std::string& text = texts_.emplace_back();
  append_json_string(text, name);
  return text;
}

Name scratch_name(std::string& scratch, std::string_view name) {
  const std::size_t begin = scratch.size();
  append_json_string(scratch, name);
  return {nullptr, static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(scratch.size() - begin)};
}

std::string key_name(PyObject* key, const std::string& type_name) {
  PyTypeObject* type = Py_TYPE(key);
  std::optional<std::string> text;
  if (type == &PyUnicode_Type || type == &PyBytes_Type) {
    text = head_repr(key);
  } else if (type == &PyLong_Type || type == &PyBool_Type) {
    text = render_value(ValueKind::kInt, key);
    if (text && text->size() > static_cast<std::size_t>(kKeyLimit)) text->resize(kKeyLimit);
  } else if (type == &PyFloat_Type) {
    text = render_value(ValueKind::kFloat, key);
  } else if (key == Py_None) {
    text = "None";
  } else {
    text = "<" + type_name + ">";
  }
  std::string name = "[";
  name += text ? *text : std::string_view("?");
  name += ']';
  return name;
}

void name_items(PyObject* sequence, const std::vector<PyObject*>& refs, Names& names,
                std::vector<const std::string*>& indices, NameTexts& texts) {
  const std::size_t count = refs.size();
  if (names.empty()) {
    while (indices.size() < count) {
      std::string index = "[";
      index += std::to_string(indices.size());
      index += ']';
      indices.push_back(&texts.add(index));
    }
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i) names.push_back(Name::of(*indices[i]));
  }
  const Py_ssize_t length = Py_SIZE(sequence);
  PyObject* const* items = PyList_Check(sequence)
                               ? reinterpret_cast<PyListObject*>(sequence)->ob_item
                               : reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
  // The collector visits list and tuple items from the last to the first.
  if (count > 1 && static_cast<Py_ssize_t>(count) == length && refs[0] == items[length - 1] &&
      refs[0] != items[0]) {
    std::reverse(names.begin(), names.end());
  }
}

void insert_names(std::string& line, std::size_t start, const Names& names,
                  const std::string& scratch) {
  if (std::all_of(names.begin(), names.end(), [](const Name& name) { return name.empty(); })) {
    return;
  }
  constexpr std::string_view kReferences = ",\"references\":[";
  constexpr std::string_view kNames = ",\"names\":[";
  constexpr std::string_view kNull = "null";
  // The type before the references is escaped JSON: it cannot hold this text unescaped.
  const std::size_t references = line.find(kReferences, start);
  const std::size_t end = line.find(']', references + kReferences.size()) + 1;
  // Measured first, then written in place: this runs for every record with names.
  std::size_t length = kNames.size() + names.size();  // the commas and the closing bracket
  for (const Name& name : names) length += name.empty() ? kNull.size() : name.size;
  const std::size_t tail = line.size() - end;  // the value and the size: a few bytes
  line.resize(line.size() + length);
  char* out = line.data() + end;
  std::memmove(out + length, out, tail);
  const auto put = [&out](const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    out += size;
  };
  put(kNames.data(), kNames.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) *out++ = ',';
    const Name& name = names[i];
    if (name.empty()) {
      put(kNull.data(), kNull.size());
    } else {
      put((name.stored != nullptr ? name.stored->data() : scratch.data() + name.begin), name.size);
    }
  }
  *out = ']';
}

}  // namespace vesker::walker
