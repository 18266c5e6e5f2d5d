// Lookups that show a store whose dump was not whole: dangling references and replaced
// records come back marked instead of failing the whole query.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/queries/common_reachable.h"
#include "core/queries/path_search.h"
#include "core/queries/tolerant_lookup.h"
#include "engine/cancellation_object.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "engine/summary_objects.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

PyObject* store_get_object_tolerant(PyObject* self, PyObject* id_object) {
  return guarded([&]() -> PyObject* {
    auto id = binding::to_u64(id_object, "id");
    if (!id) return binding::raise(id.error());
    const auto found = query_store(self, [&](const AnalysisStore& store) { return get_object_tolerant(store.store, *id); });
    if (!found) return nullptr;
    if (!*found) Py_RETURN_NONE;
    const TolerantObject& object = **found;
    PyRef dict = PyRef::steal(summary_dict(object.summary.id, object.summary, "present"));
    if (!dict) return nullptr;
    PyRef references = PyRef::steal(summary_list(object.references));
    if (!references || PyDict_SetItemString(dict.get(), "references", references.get()) < 0) return nullptr;
    PyRef referrers = PyRef::steal(summary_list(object.referrers));
    if (!referrers || PyDict_SetItemString(dict.get(), "referrers", referrers.get()) < 0) return nullptr;
    return dict.release();
  });
}

PyObject* store_find_path_tolerant(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"start", "end", "avoid", "cancel", nullptr};
    PyObject* start_object = nullptr;
    PyObject* end_object = nullptr;
    PyObject* avoid_object = nullptr;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:find_path_tolerant", const_cast<char**>(keywords),
                                     &start_object, &end_object, &avoid_object, &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    auto start = binding::to_u64(start_object, "start");
    if (!start) return binding::raise(start.error());
    auto end = binding::to_u64(end_object, "end");
    if (!end) return binding::raise(end.error());
    auto avoid = binding::to_id_set(avoid_object, "avoid");
    if (!avoid) return binding::raise(avoid.error());
    const auto path = query_store(self, [&](const AnalysisStore& store) {
      return find_path_between_objects(store.store, *start, *end, *avoid, MissingRecords::kSkip, cancel->check());
    });
    if (!path) return nullptr;
    if (!*path) Py_RETURN_NONE;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>((*path)->size())));
    if (!list) return nullptr;
    for (std::size_t at = 0; at < (*path)->size(); ++at) {
      const ObjectSummary& step = (**path)[at];
      PyObject* entry = summary_dict(step.id, step, "present");
      if (entry == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), entry);
    }
    return list.release();
  });
}

PyObject* store_find_common_tolerant(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"first", "second", "cancel", nullptr};
    PyObject* first_object = nullptr;
    PyObject* second_object = nullptr;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:find_common_tolerant", const_cast<char**>(keywords),
                                     &first_object, &second_object, &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    auto first = binding::to_u64(first_object, "first");
    if (!first) return binding::raise(first.error());
    auto second = binding::to_u64(second_object, "second");
    if (!second) return binding::raise(second.error());
    const auto found = query_store(self, [&](const AnalysisStore& store) {
      return find_largest_common_reachable_object(store.store, *first, *second, MissingRecords::kSkip, cancel->check());
    });
    if (!found) return nullptr;
    return u64_or_none(*found);
  });
}

PyObject* store_check_references(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto check = query_store(self, [](const AnalysisStore& store) { return check_references(store.store); });
    if (!check) return nullptr;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(check->records),
                         static_cast<unsigned long long>(check->dangling_references));
  });
}

template <class F>
PyCFunction keywords_method(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

const PyMethodDef kLookupMethods[] = {
    {"get_object_tolerant", store_get_object_tolerant, METH_O,
     "get_object_tolerant(id)\n--\n\nThe object as a dict with its references and referrers, each marked "
     "'present', 'missing' (no record) or 'stale' (a replaced record that referred to it); None without a record."},
    {"find_path_tolerant", keywords_method(store_find_path_tolerant), METH_VARARGS | METH_KEYWORDS,
     "find_path_tolerant(start, end, avoid, *, cancel=None)\n--\n\nA shortest path as a list of summary dicts, passing by "
     "references to ids without a record; None when there is none."},
    {"find_common_tolerant", keywords_method(store_find_common_tolerant), METH_VARARGS | METH_KEYWORDS,
     "find_common_tolerant(first, second, *, cancel=None)\n--\n\nThe largest object both reach, passing by references to ids "
     "without a record; None when there is none."},
    {"check_references", store_check_references, METH_NOARGS,
     "check_references()\n--\n\n(records, dangling references): the number of records and of references to ids "
     "without one."},
};

}  // namespace

std::span<const PyMethodDef> lookup_methods() { return kLookupMethods; }

}  // namespace vesker::engine
