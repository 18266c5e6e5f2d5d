#include "python/result_classes.h"

#include <array>
#include <atomic>
#include <new>
#include <string>

#include "binding/arguments.h"
#include "binding/compat.h"
#include "binding/errors.h"
#include "binding/once.h"
#include "binding/py_ref.h"

namespace vesker::python {

using binding::PyRef;
using binding::argument_error;
using binding::create_once;
using binding::not_an_instance;
using binding::pending;

namespace {

// Immutable, not subclassable, not instantiable from Python, no __dict__, no weak references.
constexpr unsigned kResultTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyTypeObject* type_from_spec(PyType_Spec& spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// ---- result records held inside Python objects ----

template <class Record>
struct RecordObject {
  PyObject_HEAD
  Record record;
};

template <class Record>
void dealloc_record(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RecordObject<Record>*>(self)->record.~Record();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Record>
PyObject* wrap_record(PyTypeObject* type, Record&& record) {
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<RecordObject<Record>*>(self)->record) Record(std::move(record));
  return self;
}

template <class Record>
const Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// A getter that converts one field of the held record.
template <class Record, auto Field>
PyObject* get_field(PyObject* self, void*) {
  const auto& field = record_of<Record>(self).*Field;
  if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, std::vector<ObjectSummary>>) {
    // Every read hands out a fresh list of fresh objects; the record itself never changes.
    return to_python(std::vector<ObjectSummary>(field));
  } else if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, std::string>) {
    return to_python(std::string_view(field));
  } else {
    return to_python(field);
  }
}

template <class Record, auto Field>
constexpr PyGetSetDef getter(const char* name) {
  return PyGetSetDef{name, get_field<Record, Field>, nullptr, "", nullptr};
}

PyGetSetDef object_record_getters[] = {
    getter<ObjectRecord, &ObjectRecord::id>("id"),
    getter<ObjectRecord, &ObjectRecord::type>("type"),
    getter<ObjectRecord, &ObjectRecord::references>("references"),
    getter<ObjectRecord, &ObjectRecord::referrers>("referrers"),
    getter<ObjectRecord, &ObjectRecord::value>("value"),
    getter<ObjectRecord, &ObjectRecord::size>("size"),
    getter<ObjectRecord, &ObjectRecord::subtree_size>("subtree_size"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef object_summary_getters[] = {
    getter<ObjectSummary, &ObjectSummary::id>("id"),
    getter<ObjectSummary, &ObjectSummary::type>("type"),
    getter<ObjectSummary, &ObjectSummary::value>("value"),
    getter<ObjectSummary, &ObjectSummary::size>("size"),
    getter<ObjectSummary, &ObjectSummary::subtree_size>("subtree_size"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef type_summary_getters[] = {
    getter<TypeSummary, &TypeSummary::count>("count"),
    getter<TypeSummary, &TypeSummary::total_size>("total_size"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Record>
PyTypeObject* make_record_type(const char* name, const char* doc, PyGetSetDef* getters) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, getters},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<Record>)},
      {0, nullptr},
  };
  PyType_Spec spec = {name, sizeof(RecordObject<Record>), 0, kResultTypeFlags, slots};
  return type_from_spec(spec);
}

// ---- EstimatorPrecision ----

struct PrecisionObject {
  PyObject_HEAD
  std::uint8_t value;
};

// In the order of the core's EstimatorPrecision, whose values the members carry.
constexpr std::array<const char*, 5> kPrecisionNames = {"NoEstimates", "Low", "Medium", "High", "Exact"};
static_assert(static_cast<std::size_t>(EstimatorPrecision::exact) + 1 == kPrecisionNames.size());

std::uint8_t precision_value(PyObject* self) { return reinterpret_cast<PrecisionObject*>(self)->value; }

PyObject* precision_int(PyObject* self) { return PyLong_FromLong(precision_value(self)); }

PyObject* precision_repr(PyObject* self) {
  return PyUnicode_FromFormat("EstimatorPrecision.%s", kPrecisionNames[precision_value(self)]);
}

std::atomic<PyObject*> precision_members[kPrecisionNames.size()];

PyObject* new_precision_member(PyTypeObject* type, std::uint8_t value) {
  // The class disallows instantiation from Python; members are allocated here directly.
  PyObject* member = type->tp_alloc(type, 0);
  if (member != nullptr) reinterpret_cast<PrecisionObject*>(member)->value = value;
  return member;
}

PyObject* cached_precision_member(PyTypeObject* type, std::uint8_t value) {
  PyObject* member = create_once(precision_members[value], [&] { return new_precision_member(type, value); });
  return Py_XNewRef(member);
}

PyTypeObject* make_precision_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Controls the speed and accuracy of subtree-size estimation.")},
      {Py_tp_repr, reinterpret_cast<void*>(precision_repr)},
      {Py_tp_str, reinterpret_cast<void*>(precision_repr)},
      {Py_nb_int, reinterpret_cast<void*>(precision_int)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.EstimatorPrecision", sizeof(PrecisionObject), 0, kResultTypeFlags, slots};
  PyRef type = PyRef::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  // The members are class attributes; the type is immutable, so they go straight into its dict.
  for (std::uint8_t value = 0; value < kPrecisionNames.size(); ++value) {
    PyRef member = PyRef::steal(cached_precision_member(type_object, value));
    if (!member || PyDict_SetItemString(type_object->tp_dict, kPrecisionNames[value], member.get()) < 0) {
      return nullptr;
    }
  }
  PyType_Modified(type_object);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* estimator_precision_type() {
  static std::atomic<PyTypeObject*> slot{nullptr};
  return create_once(slot, make_precision_type);
}

PyTypeObject* object_record_type() {
  static std::atomic<PyTypeObject*> slot{nullptr};
  return create_once(slot, [] {
    return make_record_type<ObjectRecord>("builtins.ObjectRecord",
                                          "Full object record including references and referrers.",
                                          object_record_getters);
  });
}

PyTypeObject* object_summary_type() {
  static std::atomic<PyTypeObject*> slot{nullptr};
  return create_once(slot, [] {
    return make_record_type<ObjectSummary>("builtins.ObjectSummary",
                                           "Lightweight object metadata used in lists and graph paths.",
                                           object_summary_getters);
  });
}

PyTypeObject* type_summary_type() {
  static std::atomic<PyTypeObject*> slot{nullptr};
  return create_once(slot, [] {
    return make_record_type<TypeSummary>("builtins.TypeSummary", "Aggregate counts and sizes for one type.",
                                         type_summary_getters);
  });
}

Result<EstimatorPrecision> to_estimator_precision(PyObject* object, const char* name) {
  PyTypeObject* type = estimator_precision_type();
  if (type == nullptr) return fail(pending());
  if (!PyObject_TypeCheck(object, type)) {
    not_an_instance(object, "EstimatorPrecision");
    return fail(argument_error(name));
  }
  return static_cast<EstimatorPrecision>(precision_value(object));
}

PyObject* to_python(std::uint64_t value) { return PyLong_FromUInt64(value); }

PyObject* to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_python(const std::optional<std::string>& text) {
  return text ? to_python(std::string_view(*text)) : Py_NewRef(Py_None);
}

PyObject* to_python(std::optional<std::uint64_t> value) { return value ? to_python(*value) : Py_NewRef(Py_None); }

PyObject* to_python(ObjectSummary&& summary) { return wrap_record(object_summary_type(), std::move(summary)); }

PyObject* to_python(std::vector<ObjectSummary>&& summaries) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(summaries.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    PyObject* item = to_python(std::move(summaries[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* to_python(std::optional<std::vector<ObjectSummary>>&& summaries) {
  return summaries ? to_python(std::move(*summaries)) : Py_NewRef(Py_None);
}

PyObject* to_python(std::optional<ObjectRecord>&& record) {
  return record ? wrap_record(object_record_type(), std::move(*record)) : Py_NewRef(Py_None);
}

PyObject* to_python(TypeSummary summary) { return wrap_record(type_summary_type(), std::move(summary)); }

PyObject* to_python(std::vector<std::pair<Type, TypeSummary>>&& rows) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyRef name = PyRef::steal(to_python(rows[i].first.bytes()));
    if (!name) return nullptr;
    PyRef summary = PyRef::steal(to_python(rows[i].second));
    if (!summary) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), summary.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace vesker::python
