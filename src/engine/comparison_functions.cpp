#define PY_SSIZE_T_CLEAN
#include "engine/comparison_functions.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/comparison/comparison.h"
#include "core/comparison/growth.h"
#include "core/comparison/stable_paths.h"
#include "core/comparison/stored_retained_facts.h"
#include "engine/site_arguments.h"
#include "engine/store_object.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;
using binding::ReleasedGil;

constexpr std::size_t kDefaultGrowthLimit = 100;
constexpr std::size_t kPathLimit = 100;

PyObject* text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

// The open store behind an argument that must be a vesker.engine.Store.
std::shared_ptr<const AnalysisStore> store_argument(PyObject* module, PyObject* argument, const char* what) {
  PyRef store_type = PyRef::steal(PyObject_GetAttrString(module, "Store"));
  if (!store_type) return nullptr;
  const int is_store = PyObject_IsInstance(argument, store_type.get());
  if (is_store < 0) return nullptr;
  if (is_store == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be a vesker.engine.Store, not %.100s", what, Py_TYPE(argument)->tp_name);
    return nullptr;
  }
  return open_store_of(argument);
}

PyObject* totals_dict(const Totals& totals, bool retained) {
  PyRef retained_value = retained ? PyRef::steal(PyLong_FromUnsignedLongLong(totals.retained)) : PyRef::borrow(Py_None);
  if (!retained_value) return nullptr;
  return Py_BuildValue("{s:K,s:K,s:O}", "count", static_cast<unsigned long long>(totals.count), "size",
                       static_cast<unsigned long long>(totals.size), "retained", retained_value.get());
}

PyObject* type_change_dict(const TypeChange& change, const Comparison& comparison) {
  PyRef type = PyRef::steal(text(change.type));
  PyRef old_side = PyRef::steal(totals_dict(change.old_side, comparison.retained));
  PyRef new_side = PyRef::steal(totals_dict(change.new_side, comparison.retained));
  if (!type || !old_side || !new_side) return nullptr;
  PyRef added = comparison.same_process ? PyRef::steal(totals_dict(change.added, comparison.retained))
                                        : PyRef::borrow(Py_None);
  PyRef removed = comparison.same_process ? PyRef::steal(totals_dict(change.removed, comparison.retained))
                                          : PyRef::borrow(Py_None);
  if (!added || !removed) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O}", "type", type.get(), "old", old_side.get(), "new", new_side.get(),
                       "added", added.get(), "removed", removed.get());
}

PyRef site_number(const std::optional<std::uint32_t>& site) {
  return site ? PyRef::steal(PyLong_FromUnsignedLong(*site)) : PyRef::borrow(Py_None);
}

PyObject* held_group_dict(const HeldGroup& group) {
  PyRef type = PyRef::steal(text(group.type));
  PyRef holder_type = group.holder_type.empty() ? PyRef::borrow(Py_None) : PyRef::steal(text(group.holder_type));
  PyRef site = site_number(group.site);
  if (!type || !holder_type || !site) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:K,s:K,s:K,s:K,s:K,s:K}", "type", type.get(), "site", site.get(),
                       "holder_type", holder_type.get(),
                       "holders", static_cast<unsigned long long>(group.holders), "largest_holder",
                       static_cast<unsigned long long>(group.largest_holder), "count",
                       static_cast<unsigned long long>(group.count), "size", static_cast<unsigned long long>(group.size),
                       "held_count", static_cast<unsigned long long>(group.held_count), "held_size",
                       static_cast<unsigned long long>(group.held_size));
}

template <class Item, class Make>
PyObject* list_of(const std::vector<Item>& items, Make make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* holding_dict(const PathHolding& holding) {
  return Py_BuildValue("{s:K,s:K}", "size", static_cast<unsigned long long>(holding.size), "items",
                       static_cast<unsigned long long>(holding.items));
}

PyObject* path_change_dict(const PathChange& change) {
  PyRef path = PyRef::steal(text(change.path));
  PyRef old_side = change.old_side ? PyRef::steal(holding_dict(*change.old_side)) : PyRef::borrow(Py_None);
  PyRef new_side = PyRef::steal(holding_dict(change.new_side));
  if (!path || !old_side || !new_side) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O}", "path", path.get(), "old", old_side.get(), "new", new_side.get());
}

PyObject* site_growth_dict(const SiteGrowth& growth) {
  PyRef site = site_number(growth.site);
  if (!site) return nullptr;
  return Py_BuildValue("{s:O,s:K,s:K}", "site", site.get(), "count", static_cast<unsigned long long>(growth.count),
                       "size", static_cast<unsigned long long>(growth.size));
}

PyObject* comparison_dict(const Comparison& comparison, const std::vector<PathChange>& paths) {
  PyRef types = PyRef::steal(
      list_of(comparison.types, [&](const TypeChange& change) { return type_change_dict(change, comparison); }));
  PyRef total = PyRef::steal(type_change_dict(comparison.total, comparison));
  PyRef held = PyRef::steal(list_of(comparison.held, held_group_dict));
  PyRef path_list = PyRef::steal(list_of(paths, path_change_dict));
  PyRef added_sites = PyRef::steal(list_of(comparison.added_sites, site_growth_dict));
  if (!types || !total || !held || !path_list || !added_sites) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "same_process", comparison.same_process ? Py_True : Py_False,
                       "retained", comparison.retained ? Py_True : Py_False, "types", types.get(), "total",
                       total.get(), "held", held.get(), "paths", path_list.get(), "added_sites", added_sites.get());
}

PyObject* engine_diff(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"old", "new", "same_process", "site_ids", "sites", nullptr};
    PyObject* old_argument = nullptr;
    PyObject* new_argument = nullptr;
    int same_process = 0;
    SiteArguments new_sites;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$py*y*:diff", const_cast<char**>(keywords), &old_argument,
                                     &new_argument, &same_process, &new_sites.ids.view, &new_sites.sites.view)) {
      return nullptr;
    }
    if (new_sites.given() != (new_sites.sites.view.obj != nullptr)) {
      PyErr_SetString(PyExc_TypeError, "diff: site_ids and sites go together");
      return nullptr;
    }
    if (new_sites.given() && !new_sites.check("diff")) return nullptr;
    std::shared_ptr<const AnalysisStore> old_store = store_argument(module, old_argument, "old");
    if (old_store == nullptr) return nullptr;
    std::shared_ptr<const AnalysisStore> new_store = store_argument(module, new_argument, "new");
    if (new_store == nullptr) return nullptr;
    Result<Comparison> comparison = fail_message("");
    std::vector<PathChange> paths;
    {
      ReleasedGil released;
      comparison = [&]() -> Result<Comparison> {
        VESKER_ASSIGN_OR_RETURN(auto old_retained, StoredRetainedFacts::open(*old_store));
        VESKER_ASSIGN_OR_RETURN(auto new_retained, StoredRetainedFacts::open(*new_store));
        // Retained sizes of one side only would compare unlike figures.
        const bool retained = old_retained && new_retained;
        const RetainedFacts* old_facts = retained ? &*old_retained : nullptr;
        const RetainedFacts* new_facts = retained ? &*new_retained : nullptr;
        VESKER_ASSIGN_OR_RETURN(Comparison compared,
                                compare_stores(old_store->store, new_store->store,
                                               ComparisonOptions{.same_process = same_process != 0,
                                                                 .old_retained = old_facts,
                                                                 .new_retained = new_facts,
                                                                 .new_sites = {new_sites.id_span(),
                                                                               new_sites.site_span()}}));
        // Across processes the names along references stand in for the ids.
        if (same_process == 0) {
          VESKER_ASSIGN_OR_RETURN(paths, compare_stable_paths(StablePathInput{old_store.get(), old_facts},
                                                              StablePathInput{new_store.get(), new_facts}, kPathLimit));
        }
        return compared;
      }();
    }
    if (!comparison) return binding::raise(comparison.error());
    return comparison_dict(*comparison, paths);
  });
}

PyObject* sizes_list(const std::vector<std::optional<std::uint64_t>>& sizes) {
  return list_of(sizes, [](const std::optional<std::uint64_t>& size) -> PyObject* {
    return size ? PyLong_FromUnsignedLongLong(*size) : Py_NewRef(Py_None);
  });
}

PyObject* growing_object_dict(const GrowingObject& object) {
  PyRef type = PyRef::steal(text(object.type));
  PyRef value = object.value ? PyRef::steal(text(*object.value)) : PyRef::borrow(Py_None);
  PyRef sizes = PyRef::steal(sizes_list(object.sizes));
  if (!type || !value || !sizes) return nullptr;
  return Py_BuildValue("{s:K,s:O,s:O,s:O}", "id", static_cast<unsigned long long>(object.id), "type", type.get(),
                       "value", value.get(), "sizes", sizes.get());
}

PyObject* engine_growth(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"stores", "limit", nullptr};
    PyObject* stores_argument = nullptr;
    Py_ssize_t limit = kDefaultGrowthLimit;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$n:growth", const_cast<char**>(keywords), &stores_argument,
                                     &limit)) {
      return nullptr;
    }
    if (limit < 0) {
      PyErr_SetString(PyExc_ValueError, "limit must not be negative");
      return nullptr;
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(stores_argument, "stores must be a sequence of Store"));
    if (!sequence) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    if (count < 3) {
      PyErr_SetString(PyExc_ValueError, "growth needs three or more stores, in time order; two are compared by diff");
      return nullptr;
    }
    std::vector<std::shared_ptr<const AnalysisStore>> stores;
    for (Py_ssize_t i = 0; i < count; ++i) {
      stores.push_back(store_argument(module, PySequence_Fast_GET_ITEM(sequence.get(), i), "every store"));
      if (stores.back() == nullptr) return nullptr;
    }
    Result<Growth> growth = fail_message("");
    bool retained = false;
    {
      ReleasedGil released;
      growth = [&]() -> Result<Growth> {
        std::vector<std::optional<StoredRetainedFacts>> facts;
        for (const auto& store : stores) {
          VESKER_ASSIGN_OR_RETURN(auto opened, StoredRetainedFacts::open(*store));
          facts.push_back(std::move(opened));
        }
        // Retained sizes where every store has them, else subtree sizes everywhere.
        retained = std::ranges::all_of(facts, [](const auto& stored) { return stored.has_value(); });
        std::vector<GrowthInput> dumps;
        for (std::size_t i = 0; i < stores.size(); ++i) {
          dumps.push_back(GrowthInput{.store = &stores[i]->store, .retained = retained ? &*facts[i] : nullptr});
        }
        return find_growth(dumps, static_cast<std::size_t>(limit));
      }();
    }
    if (!growth) return binding::raise(growth.error());
    PyRef objects = PyRef::steal(list_of(growth->objects, growing_object_dict));
    if (!objects) return nullptr;
    return Py_BuildValue("{s:O,s:K,s:K,s:s}", "objects", objects.get(), "growing",
                         static_cast<unsigned long long>(growth->growing), "sources",
                         static_cast<unsigned long long>(growth->sources), "sizes", retained ? "retained" : "subtree");
  });
}

PyMethodDef kComparisonFunctions[] = {
    {"diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_diff)), METH_VARARGS | METH_KEYWORDS,
     "diff(old, new, *, same_process=False, site_ids=None, sites=None)\n--\n\n"
     "Compares two stores per type; for dumps of one process also object by object: the objects of NEW that "
     "OLD did not have, and what holds them, by allocation site too where site_ids and sites (ascending native "
     "8-byte ids of NEW, their native 4-byte site numbers) say which object was made where; for dumps of "
     "different processes, what grew under the stable "
     "paths from modules that the dumps' reference names give."},
    {"growth", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_growth)),
     METH_VARARGS | METH_KEYWORDS,
     "growth(stores, *, limit=100)\n--\n\n"
     "The objects of the last of several stores of one process, in time order, whose size never shrank and "
     "grew, largest final size first."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* comparison_functions() { return kComparisonFunctions; }

}  // namespace vesker::engine
