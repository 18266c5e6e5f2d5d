#include "binding/record.h"

#include <cstring>
#include <string>
#include <vector>

#include "binding/compat.h"
#include "binding/py_ref.h"
#include "core/common/error.h"

namespace vesker::binding {

PyObject* make_record_type(const RecordShape& shape) {
  std::vector<PyStructSequence_Field> fields;
  fields.reserve(shape.fields.size() + 1);
  for (const char* field : shape.fields) fields.push_back({field, nullptr});
  fields.push_back({nullptr, nullptr});
  PyStructSequence_Desc description{shape.name, shape.doc, fields.data(), static_cast<int>(shape.fields.size())};
  return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&description));
}

PyObject* record_of(PyObject* type, std::initializer_list<std::pair<const char*, PyObject*>> items) {
  auto* record_type = reinterpret_cast<PyTypeObject*>(type);
  PyRef record = PyRef::steal(PyStructSequence_New(record_type));
  bool ok = bool(record);
  bool matches = true;
  // The class's members are its fields in their order, ended by a nameless one.
  const PyMemberDef* member = record_type->tp_members;
  Py_ssize_t at = 0;
  for (const auto& [field, value] : items) {
    PyRef owned = PyRef::steal(value);
    // A field the class does not have at this place is dropped: the record has no room for it.
    if (member->name == nullptr || std::strcmp(member->name, field) != 0) {
      matches = false;
      continue;
    }
    ++member;
    if (ok && owned) {
      PyStructSequence_SetItem(record.get(), at++, owned.release());
    } else {
      ok = false;
    }
  }
  if (!matches || member->name != nullptr) {
    const std::string message = std::string("the fields of a record do not match its class ") + record_type->tp_name;
    internal_error(message.c_str());
  }
  return ok ? record.release() : nullptr;
}

}  // namespace vesker::binding
