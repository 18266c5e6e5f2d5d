// Names for objects and edges: what holds an object, and the names of its references.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/labels/object_labels.h"
#include "engine/retained_rows.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

using Names = std::vector<std::optional<std::string>>;

bool ids_of(PyObject* sequence, std::vector<std::uint64_t>& ids) {
  PyRef items = PyRef::steal(PySequence_Fast(sequence, "ids must be a sequence"));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    auto id = binding::to_u64(PySequence_Fast_GET_ITEM(items.get(), i), "id");
    if (!id) {
      binding::raise(id.error());
      return false;
    }
    ids.push_back(*id);
  }
  return true;
}

PyObject* names_list(const Names& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* item = optional_text(names[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <class Work>
PyObject* names_on_store(PyObject* self, Work&& work) {
  const auto names = query_store(self, [&](const AnalysisStore& store) -> Result<Names> {
    VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
    labels::ObjectLabeler labeler(txn, store);
    return work(labeler);
  });
  if (!names) return nullptr;
  return names_list(*names);
}

PyObject* store_labels(PyObject* self, PyObject* sequence) {
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> ids;
    if (!ids_of(sequence, ids)) return nullptr;
    return names_on_store(self, [&](labels::ObjectLabeler& labeler) -> Result<Names> {
      Names names;
      for (const std::uint64_t id : ids) {
        VESKER_ASSIGN_OR_RETURN(auto label, labeler.label(id));
        names.push_back(std::move(label));
      }
      return names;
    });
  });
}

PyObject* store_edge_names(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* id_object = nullptr;
    const char* direction = nullptr;
    PyObject* sequence = nullptr;
    if (!PyArg_ParseTuple(args, "OsO:edge_names", &id_object, &direction, &sequence)) return nullptr;
    auto id = binding::to_u64(id_object, "id");
    if (!id) return binding::raise(id.error());
    const std::string_view which(direction);
    if (which != "references" && which != "referrers") {
      PyErr_SetString(PyExc_ValueError, "edge_names: direction is 'references' or 'referrers'");
      return nullptr;
    }
    std::vector<std::uint64_t> ids;
    if (!ids_of(sequence, ids)) return nullptr;
    const bool references = which == "references";
    return names_on_store(self, [&](labels::ObjectLabeler& labeler) -> Result<Names> {
      Names names;
      for (const std::uint64_t other : ids) {
        VESKER_ASSIGN_OR_RETURN(auto name, references ? labeler.reference_name(*id, other)
                                                      : labeler.reference_name(other, *id));
        names.push_back(std::move(name));
      }
      return names;
    });
  });
}

const PyMethodDef kLabelMethods[] = {
    {"labels", store_labels, METH_O,
     "labels(ids)\n--\n\nWhat each object is, from a reference that names it ('__main__.cache', 'Order.tags', "
     "\"`__main__`'s namespace\"), or None where no referrer names it."},
    {"edge_names", store_edge_names, METH_VARARGS,
     "edge_names(id, direction, ids)\n--\n\nThe name of each edge between the object and the objects in ids: of "
     "its references to them ('references') or of theirs to it ('referrers'); None where the dump names none."},
};

}  // namespace

std::span<const PyMethodDef> label_methods() { return kLabelMethods; }

}  // namespace vesker::engine
