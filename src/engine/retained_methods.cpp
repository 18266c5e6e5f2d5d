// Retained sizes: computing them for a store, and the questions they answer.
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/progress_sink.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"
#include "binding/values.h"
#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"
#include "core/queries/object_lookup.h"
#include "engine/cancellation_object.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/retained_rows.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::number;
using binding::PyRef;
using binding::ReleasedGil;
using binding::text;

constexpr const char* kProgressParameter[] = {"progress"};
constexpr binding::Signature kComputeRetained{"Store.compute_retained", kProgressParameter, 0};

Result<PyObject*> store_compute_retained(PyObject* self, Arguments<1> arguments) {
  PyObject* progress = arguments[0] != nullptr ? arguments[0] : Py_None;
  VESKER_ASSIGN_OR_RETURN(const std::shared_ptr<const AnalysisStore> store, open_store_of(self));
  Result<dominators::RetainedRun> run = fail_message("");
  {
    ReleasedGil released;
    Progress reporting(binding::interpreter_sink(released, progress));
    run = dominators::compute_retained_sizes(*store, reporting);
  }
  if (!run) return fail(std::move(run).error());
  return record_of(class_state(Py_TYPE(self)), RecordType::kRetainedRun, {
      {"objects", number(run->objects)},
      {"edges", number(run->edges)},
      {"unreachable", number(run->unreachable)},
      {"total_size", number(run->total_size)},
      {"graph_bytes", number(run->graph_bytes)},
      {"read_seconds", PyFloat_FromDouble(run->read_seconds)},
      {"dominator_seconds", PyFloat_FromDouble(run->dominator_seconds)},
      {"write_seconds", PyFloat_FromDouble(run->write_seconds)},
  });
}

constexpr binding::Signature kRetainedState{"Store.retained_state", {}};

Result<PyObject*> store_retained_state(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const auto state,
                          query_store(self, [](const AnalysisStore& store) -> Result<dominators::RetainedState> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            return dominators::retained_state(txn, store);
                          }));
  switch (state) {
    case dominators::RetainedState::missing:
      return text("missing");
    case dominators::RetainedState::fresh:
      return text("fresh");
    case dominators::RetainedState::stale:
      return text("stale");
  }
  internal_error("unknown retained state");
}

constexpr const char* kIdParameter[] = {"id"};
constexpr binding::Signature kRetained{"Store.retained", kIdParameter, 1, 0, 1};

Result<PyObject*> store_retained(PyObject* self, Arguments<1> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  VESKER_ASSIGN_OR_RETURN(const auto row,
                          query_store(self, [&](const AnalysisStore& store) -> Result<std::optional<Row>> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            VESKER_ASSIGN_OR_RETURN(const auto facts, dominators::read_retained(txn, store, id));
                            if (!facts) return std::nullopt;
                            return row_of(txn, store, id);
                          }));
  return row ? retained_row(class_state(Py_TYPE(self)), *row) : binding::none();
}

constexpr const char* kTopRetainedParameters[] = {"type", "offset", "limit"};
constexpr binding::Signature kTopRetained{"Store.top_retained", kTopRetainedParameters, 0};

Result<PyObject*> store_top_retained(PyObject* self, Arguments<3> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::string_view type,
                          binding::or_default(arguments[0], std::string_view("All Types"), "type", binding::to_text));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t offset,
                          binding::or_default(arguments[1], std::uint64_t{0}, "offset", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t limit,
                          binding::or_default(arguments[2], std::uint64_t{20}, "limit", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const auto rows,
                          query_store(self, [&](const AnalysisStore& store) -> Result<std::vector<Row>> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            VESKER_ASSIGN_OR_RETURN(const auto entries,
                                                    dominators::top_retained(txn, store, type, offset, limit));
                            std::vector<std::uint64_t> ids;
                            for (const auto& entry : entries) ids.push_back(entry.id);
                            return rows_of(txn, store, ids, false);
                          }));
  return retained_rows(class_state(Py_TYPE(self)), rows);
}

// The type names of `expand`, any iterable of str; None or left out: none.
Result<absl::flat_hash_set<std::string>> expanded_types(PyObject* object) {
  absl::flat_hash_set<std::string> expand;
  if (object == nullptr || object == Py_None) return expand;
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return fail(binding::argument_error("expand"));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    VESKER_ASSIGN_OR_RETURN(const std::string_view name, binding::to_text(item.get(), "expand"));
    expand.emplace(name);
  }
  if (PyErr_Occurred()) return fail(binding::argument_error("expand"));
  return expand;
}

using TreeRows = std::vector<dominators::TreeRow>;

PyObject* tree_row(const ModuleState& module, const dominators::TreeRow& row) {
  return record_of(module, RecordType::kTreeRow, {
      {"id", binding::optional_number(row.id)},
      {"type", text(row.type)},
      {"value", binding::optional_text(row.value)},
      {"count", number(row.count)},
      {"size", number(row.size)},
      {"retained", number(row.retained)},
  });
}

constexpr const char* kDominatorTreeParameters[] = {"id", "expand", "limit", "cancel"};
constexpr binding::Signature kDominatorTree{"Store.dominator_tree", kDominatorTreeParameters, 0, 1};

Result<PyObject*> store_dominator_tree(PyObject* self, Arguments<4> arguments) {
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[3]));
  VESKER_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> parent,
                          binding::or_none(arguments[0], "id", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const auto expand, expanded_types(arguments[1]));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t limit,
                          binding::or_default(arguments[2], std::uint64_t{50}, "limit", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const auto rows,
                          query_store(self, [&](const AnalysisStore& store) -> Result<TreeRows> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            return dominators::dominator_tree_rows(txn, store, parent, expand, limit, cancel.check());
                          }));
  const ModuleState& module = class_state(Py_TYPE(self));
  return binding::list_of(rows, [&](const dominators::TreeRow& row) { return tree_row(module, row); });
}

constexpr const char* kWhyParameters[] = {"id", "cancel"};
constexpr binding::Signature kWhy{"Store.why", kWhyParameters, 1, 1, 1};

Result<PyObject*> store_why(PyObject* self, Arguments<2> arguments) {
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[1]));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  struct Answer {
    std::vector<Row> dominators;
    std::vector<Row> path;
  };
  VESKER_ASSIGN_OR_RETURN(const auto answer,
                          query_store(self, [&](const AnalysisStore& store) -> Result<std::optional<Answer>> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            VESKER_ASSIGN_OR_RETURN(const auto chain, dominators::dominator_chain(txn, store, id));
                            if (!chain) return std::nullopt;
                            VESKER_ASSIGN_OR_RETURN(const auto path,
                                                    dominators::shortest_root_path(txn, store, id, cancel.check()));
                            Answer found;
                            VESKER_ASSIGN_OR_RETURN(found.dominators, rows_of(txn, store, *chain, true));
                            VESKER_ASSIGN_OR_RETURN(found.path, rows_of(txn, store, *path, true));
                            return found;
                          }));
  if (!answer) return binding::none();
  const ModuleState& module = class_state(Py_TYPE(self));
  return record_of(module, RecordType::kWhyAnswer, {
      {"dominators", retained_rows(module, answer->dominators)},
      {"path", retained_rows(module, answer->path)},
  });
}

constexpr binding::Signature kTypeRetained{"Store.type_retained", {}};

Result<PyObject*> store_type_retained(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(
      const auto rows,
      query_store(self, [](const AnalysisStore& store) -> Result<std::vector<std::pair<std::string, std::uint64_t>>> {
        VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
        return dominators::type_retained(txn, store);
      }));
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return fail(binding::pending());
  for (const auto& [type, retained] : rows) {
    PyRef key = PyRef::steal(text(type));
    PyRef value = PyRef::steal(number(retained));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return fail(binding::pending());
  }
  return dict.release();
}

// One reference's names: a name or None per reference.
Result<dominators::ReferenceNames> reference_names(PyObject* object) {
  PyRef names = PyRef::steal(PySequence_Fast(object, "the names must be a sequence"));
  if (!names) return fail(binding::pending());
  dominators::ReferenceNames converted;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(names.get(), i);
    if (name == Py_None) {
      converted.emplace_back();
      continue;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(name, &size);
    if (bytes == nullptr) return fail(binding::pending());
    converted.emplace_back(std::string(bytes, static_cast<std::size_t>(size)));
  }
  return converted;
}

constexpr const char* kPairsParameter[] = {"pairs"};
constexpr binding::Signature kImportNames{"Store.import_names", kPairsParameter, 1, 0, 1};

Result<PyObject*> store_import_names(PyObject* self, Arguments<1> arguments) {
  // Converted with the lock held, then written in one transaction without it.
  std::vector<std::pair<std::uint64_t, dominators::ReferenceNames>> entries;
  PyRef iterator = PyRef::steal(PyObject_GetIter(arguments[0]));
  if (!iterator) return fail(binding::pending());
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyObject* id_object = nullptr;
    PyObject* names_object = nullptr;
    if (!PyArg_ParseTuple(item.get(), "OO:import_names", &id_object, &names_object)) return fail(binding::pending());
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(id_object, "id"));
    VESKER_ASSIGN_OR_RETURN(auto names, reference_names(names_object));
    entries.emplace_back(id, std::move(names));
  }
  if (PyErr_Occurred()) return fail(binding::pending());
  const auto written = query_store(self, [&](const AnalysisStore& store) -> Status {
    VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_write());
    for (const auto& [id, names] : entries) VESKER_TRY(dominators::put_reference_names(txn, store, id, names));
    return txn.commit();
  });
  if (!written) return fail(written.error());
  return binding::none();
}

const PyMethodDef kRetainedMethods[] = {
    binding::method<kComputeRetained, store_compute_retained>(
        "compute_retained",
        "compute_retained(progress=None)\n--\n\nComputes the dominator tree and the retained size of every object "
        "and stores them; progress(done, total) is called about ten times a second."),
    binding::method<kRetainedState, store_retained_state>(
        "retained_state",
        "retained_state()\n--\n\n'missing', 'fresh', or 'stale' when the store changed since they were computed."),
    binding::method<kRetained, store_retained>("retained",
                                               "retained(id)\n--\n\nOne object with its retained size, or None."),
    binding::method<kTopRetained, store_top_retained>(
        "top_retained",
        "top_retained(type='All Types', offset=0, limit=20)\n--\n\nObjects by retained size, largest first."),
    binding::method<kDominatorTree, store_dominator_tree>(
        "dominator_tree",
        "dominator_tree(id=None, expand=(), limit=50, *, cancel=None)\n--\n\nWhat an object (None: the root) "
        "immediately dominates, largest first; siblings of one type are merged into one row unless their type is "
        "in expand."),
    binding::method<kWhy, store_why>(
        "why",
        "why(id, /, *, cancel=None)\n--\n\nThe dominators from the root down to the object, and a shortest "
        "reference path from a root; None when the object has no retained size."),
    binding::method<kTypeRetained, store_type_retained>(
        "type_retained",
        "type_retained()\n--\n\nThe retained size of each type's objects counted once, by type name."),
    binding::method<kImportNames, store_import_names>(
        "import_names",
        "import_names(pairs)\n--\n\nStores the names of references: (id, [name or None per reference]) pairs."),
};

}  // namespace

std::span<const PyMethodDef> retained_methods() { return kRetainedMethods; }

}  // namespace vesker::engine
