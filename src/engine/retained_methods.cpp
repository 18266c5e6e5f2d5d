// Retained sizes: computing them for a store, and the questions they answer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"
#include "core/queries/object_lookup.h"
#include "engine/cancellation_object.h"
#include "engine/retained_rows.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/progress_sink.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using dominators::RetainedFacts;
using binding::guarded;
using binding::PyRef;
using binding::ReleasedGil;

PyObject* store_compute_retained(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"progress", nullptr};
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:compute_retained", const_cast<char**>(keywords), &progress)) {
      return nullptr;
    }
    std::shared_ptr<const AnalysisStore> store = open_store_of(self);
    if (store == nullptr) return nullptr;
    Result<dominators::RetainedRun> run = fail_message("");
    {
      ReleasedGil released;
      Progress reporting(binding::interpreter_sink(released, progress));
      run = dominators::compute_retained_sizes(*store, reporting);
    }
    if (!run) return binding::raise(run.error());
    return dict_of({
        {"objects", PyLong_FromUnsignedLongLong(run->objects)},
        {"edges", PyLong_FromUnsignedLongLong(run->edges)},
        {"unreachable", PyLong_FromUnsignedLongLong(run->unreachable)},
        {"total_size", PyLong_FromUnsignedLongLong(run->total_size)},
        {"graph_bytes", PyLong_FromUnsignedLongLong(run->graph_bytes)},
        {"read_seconds", PyFloat_FromDouble(run->read_seconds)},
        {"dominator_seconds", PyFloat_FromDouble(run->dominator_seconds)},
        {"write_seconds", PyFloat_FromDouble(run->write_seconds)},
    });
  });
}

PyObject* store_retained_state(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto state = query_store(self, [](const AnalysisStore& store) -> Result<dominators::RetainedState> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      return dominators::retained_state(txn, store);
    });
    if (!state) return nullptr;
    switch (*state) {
      case dominators::RetainedState::missing:
        return text("missing");
      case dominators::RetainedState::fresh:
        return text("fresh");
      case dominators::RetainedState::stale:
        return text("stale");
    }
    internal_error("unknown retained state");
  });
}

PyObject* store_retained(PyObject* self, PyObject* id_object) {
  return guarded([&]() -> PyObject* {
    auto id = binding::to_u64(id_object, "id");
    if (!id) return binding::raise(id.error());
    auto row = query_store(self, [&](const AnalysisStore& store) -> Result<std::optional<Row>> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      VESKER_ASSIGN_OR_RETURN(const auto facts, dominators::read_retained(txn, store, *id));
      if (!facts) return std::nullopt;
      return row_of(txn, store, *id);
    });
    if (!row) return nullptr;
    return *row ? row_dict(**row) : Py_NewRef(Py_None);
  });
}

PyObject* store_top_retained(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"type", "offset", "limit", nullptr};
    const char* type = "All Types";
    Py_ssize_t type_size = 9;
    unsigned long long offset = 0, limit = 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s#KK:top_retained", const_cast<char**>(keywords), &type,
                                     &type_size, &offset, &limit)) {
      return nullptr;
    }
    const std::string_view type_view(type, static_cast<std::size_t>(type_size));
    auto rows = query_store(self, [&](const AnalysisStore& store) -> Result<std::vector<Row>> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      VESKER_ASSIGN_OR_RETURN(const auto entries, dominators::top_retained(txn, store, type_view, offset, limit));
      std::vector<std::uint64_t> ids;
      for (const auto& entry : entries) ids.push_back(entry.id);
      return rows_of(txn, store, ids, false);
    });
    return rows ? row_list(*rows) : nullptr;
  });
}

PyObject* store_dominator_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"id", "expand", "limit", "cancel", nullptr};
    PyObject* id_object = Py_None;
    PyObject* expand_object = nullptr;
    unsigned long long limit = 50;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOK$O:dominator_tree", const_cast<char**>(keywords), &id_object,
                                     &expand_object, &limit, &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    std::optional<std::uint64_t> parent;
    if (id_object != Py_None) {
      auto id = binding::to_u64(id_object, "id");
      if (!id) return binding::raise(id.error());
      parent = *id;
    }
    absl::flat_hash_set<std::string> expand;
    if (expand_object != nullptr && expand_object != Py_None) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(expand_object));
      if (!iterator) return nullptr;
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (name == nullptr) return nullptr;
        expand.emplace(name, static_cast<std::size_t>(size));
      }
      if (PyErr_Occurred()) return nullptr;
    }
    auto rows = query_store(
        self,
        [&](const AnalysisStore& store) -> Result<std::vector<dominators::TreeRow>> {
          VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
          return dominators::dominator_tree_rows(txn, store, parent, expand, limit, cancel->check());
        });
    if (!rows) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& row : *rows) {
      PyRef item = PyRef::steal(dict_of({
          {"id", optional_id(row.id)},
          {"type", text(row.type)},
          {"value", optional_text(row.value)},
          {"count", PyLong_FromUnsignedLongLong(row.count)},
          {"size", PyLong_FromUnsignedLongLong(row.size)},
          {"retained", PyLong_FromUnsignedLongLong(row.retained)},
      }));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* store_why(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"", "cancel", nullptr};
    PyObject* id_object = nullptr;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:why", const_cast<char**>(keywords), &id_object,
                                     &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    auto id = binding::to_u64(id_object, "id");
    if (!id) return binding::raise(id.error());
    struct Answer {
      std::vector<Row> dominators;
      std::vector<Row> path;
    };
    auto answer = query_store(
        self,
        [&](const AnalysisStore& store) -> Result<std::optional<Answer>> {
          VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
          VESKER_ASSIGN_OR_RETURN(const auto chain, dominators::dominator_chain(txn, store, *id));
          if (!chain) return std::nullopt;
          VESKER_ASSIGN_OR_RETURN(const auto path,
                                  dominators::shortest_root_path(txn, store, *id, cancel->check()));
          Answer found;
          VESKER_ASSIGN_OR_RETURN(found.dominators, rows_of(txn, store, *chain, true));
          VESKER_ASSIGN_OR_RETURN(found.path, rows_of(txn, store, *path, true));
          return found;
        });
    if (!answer) return nullptr;
    if (!*answer) Py_RETURN_NONE;
    return dict_of({{"dominators", row_list((*answer)->dominators)}, {"path", row_list((*answer)->path)}});
  });
}

PyObject* store_type_retained(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto rows = query_store(self, [](const AnalysisStore& store) {
      return [&]() -> Result<std::vector<std::pair<std::string, std::uint64_t>>> {
        VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
        return dominators::type_retained(txn, store);
      }();
    });
    if (!rows) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [type, retained] : *rows) {
      PyRef key = PyRef::steal(text(type));
      PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(retained));
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* store_import_names(PyObject* self, PyObject* pairs) {
  return guarded([&]() -> PyObject* {
    // Converted with the lock held, then written in one transaction without it.
    std::vector<std::pair<std::uint64_t, dominators::ReferenceNames>> entries;
    PyRef iterator = PyRef::steal(PyObject_GetIter(pairs));
    if (!iterator) return nullptr;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      PyObject* id_object = nullptr;
      PyObject* names_object = nullptr;
      if (!PyArg_ParseTuple(item.get(), "OO:import_names", &id_object, &names_object)) return nullptr;
      auto id = binding::to_u64(id_object, "id");
      if (!id) return binding::raise(id.error());
      PyRef names = PyRef::steal(PySequence_Fast(names_object, "the names must be a sequence"));
      if (!names) return nullptr;
      dominators::ReferenceNames converted;
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(names.get(), i);
        if (name == Py_None) {
          converted.emplace_back();
          continue;
        }
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(name, &size);
        if (bytes == nullptr) return nullptr;
        converted.emplace_back(std::string(bytes, static_cast<std::size_t>(size)));
      }
      entries.emplace_back(*id, std::move(converted));
    }
    if (PyErr_Occurred()) return nullptr;
    auto written = query_store(self, [&](const AnalysisStore& store) -> Result<bool> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_write());
      for (const auto& [id, names] : entries) VESKER_TRY(dominators::put_reference_names(txn, store, id, names));
      VESKER_TRY(txn.commit());
      return true;
    });
    if (!written) return nullptr;
    Py_RETURN_NONE;
  });
}

template <class F>
PyCFunction keywords_method(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

const PyMethodDef kRetainedMethods[] = {
    {"compute_retained", keywords_method(store_compute_retained), METH_VARARGS | METH_KEYWORDS,
     "compute_retained(progress=None)\n--\n\nComputes the dominator tree and the retained size of every object and "
     "stores them; progress(done, total) is called about ten times a second."},
    {"retained_state", store_retained_state, METH_NOARGS,
     "retained_state()\n--\n\n'missing', 'fresh', or 'stale' when the store changed since they were computed."},
    {"retained", store_retained, METH_O, "retained(id)\n--\n\nOne object with its retained size, or None."},
    {"top_retained", keywords_method(store_top_retained), METH_VARARGS | METH_KEYWORDS,
     "top_retained(type='All Types', offset=0, limit=20)\n--\n\nObjects by retained size, largest first."},
    {"dominator_tree", keywords_method(store_dominator_tree), METH_VARARGS | METH_KEYWORDS,
     "dominator_tree(id=None, expand=(), limit=50, *, cancel=None)\n--\n\nWhat an object (None: the root) "
     "immediately dominates, largest first; siblings of one type are merged into one row unless their type is in "
     "expand."},
    {"why", keywords_method(store_why), METH_VARARGS | METH_KEYWORDS,
     "why(id, /, *, cancel=None)\n--\n\nThe dominators from the root down to the object, and a shortest reference "
     "path from a root; None when the object has no retained size."},
    {"type_retained", store_type_retained, METH_NOARGS,
     "type_retained()\n--\n\nThe retained size of each type's objects counted once, by type name."},
    {"import_names", store_import_names, METH_O,
     "import_names(pairs)\n--\n\nStores the names of references: (id, [name or None per reference]) pairs."},
};

}  // namespace

std::span<const PyMethodDef> retained_methods() { return kRetainedMethods; }

}  // namespace vesker::engine
