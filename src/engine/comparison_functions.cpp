#include "engine/comparison_functions.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/method.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"
#include "binding/values.h"
#include "core/comparison/comparison.h"
#include "core/comparison/growth.h"
#include "core/comparison/stable_paths.h"
#include "core/comparison/stored_retained_facts.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/site_arguments.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::dict_of;
using binding::list_of;
using binding::none;
using binding::number;
using binding::text;
using binding::ReleasedGil;

constexpr std::size_t kDefaultGrowthLimit = 100;
constexpr std::size_t kPathLimit = 100;

// The open store behind an argument that must be a vesker.engine.Store of this module.
Result<std::shared_ptr<const AnalysisStore>> store_argument(PyObject* module, PyObject* argument, const char* what) {
  const int is_store = PyObject_IsInstance(argument, module_state(module).store_type);
  if (is_store < 0) return fail(binding::pending());
  if (is_store == 0) {
    PyErr_Format(PyExc_TypeError, "%s must be a vesker.engine.Store, not %.100s", what, Py_TYPE(argument)->tp_name);
    return fail(binding::pending());
  }
  return open_store_of(argument);
}

PyObject* totals_dict(const Totals& totals, bool retained) {
  return dict_of({{"count", number(totals.count)},
                  {"size", number(totals.size)},
                  {"retained", retained ? number(totals.retained) : none()}});
}

PyObject* type_change_dict(const TypeChange& change, const Comparison& comparison) {
  const bool retained = comparison.retained;
  return dict_of({{"type", text(change.type)},
                  {"old", totals_dict(change.old_side, retained)},
                  {"new", totals_dict(change.new_side, retained)},
                  {"added", comparison.same_process ? totals_dict(change.added, retained) : none()},
                  {"removed", comparison.same_process ? totals_dict(change.removed, retained) : none()}});
}

PyObject* site_number(const std::optional<std::uint32_t>& site) { return site ? number(*site) : none(); }

PyObject* held_group_dict(const HeldGroup& group) {
  return dict_of({{"type", text(group.type)},
                  {"site", site_number(group.site)},
                  {"holder_type", group.holder_type.empty() ? none() : text(group.holder_type)},
                  {"holders", number(group.holders)},
                  {"largest_holder", number(group.largest_holder)},
                  {"count", number(group.count)},
                  {"size", number(group.size)},
                  {"held_count", number(group.held_count)},
                  {"held_size", number(group.held_size)}});
}

PyObject* holding_dict(const PathHolding& holding) {
  return dict_of({{"size", number(holding.size)}, {"items", number(holding.items)}});
}

PyObject* path_change_dict(const PathChange& change) {
  return dict_of({{"path", text(change.path)},
                  {"old", change.old_side ? holding_dict(*change.old_side) : none()},
                  {"new", holding_dict(change.new_side)}});
}

PyObject* site_growth_dict(const SiteGrowth& growth) {
  return dict_of({{"site", site_number(growth.site)}, {"count", number(growth.count)}, {"size", number(growth.size)}});
}

PyObject* comparison_dict(const Comparison& comparison, const std::vector<PathChange>& paths) {
  return dict_of({
      {"same_process", PyBool_FromLong(comparison.same_process)},
      {"retained", PyBool_FromLong(comparison.retained)},
      {"types", list_of(comparison.types,
                        [&](const TypeChange& change) { return type_change_dict(change, comparison); })},
      {"total", type_change_dict(comparison.total, comparison)},
      {"held", list_of(comparison.held, held_group_dict)},
      {"paths", list_of(paths, path_change_dict)},
      {"added_sites", list_of(comparison.added_sites, site_growth_dict)},
  });
}

constexpr const char* kDiffParameters[] = {"old", "new", "same_process", "site_ids", "sites"};
constexpr binding::Signature kDiff{"diff", kDiffParameters, 2, 3};

Result<PyObject*> engine_diff(PyObject* module, Arguments<5> arguments) {
  VESKER_ASSIGN_OR_RETURN(const bool same_process,
                          binding::or_default(arguments[2], false, "same_process", binding::to_truth));
  if ((arguments[3] == nullptr) != (arguments[4] == nullptr)) {
    return fail(binding::argument_check(PyExc_TypeError, "diff: site_ids and sites go together"));
  }
  SiteArguments new_sites;
  if (arguments[3] != nullptr) {
    VESKER_ASSIGN_OR_RETURN(new_sites, site_arguments(arguments[3], "site_ids", arguments[4], "diff"));
  }
  VESKER_ASSIGN_OR_RETURN(const auto old_store, store_argument(module, arguments[0], "old"));
  VESKER_ASSIGN_OR_RETURN(const auto new_store, store_argument(module, arguments[1], "new"));
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
                                             ComparisonOptions{.same_process = same_process,
                                                               .old_retained = old_facts,
                                                               .new_retained = new_facts,
                                                               .new_sites = {new_sites.id_span(),
                                                                             new_sites.site_span()}}));
      // Across processes the names along references stand in for the ids.
      if (!same_process) {
        VESKER_ASSIGN_OR_RETURN(paths, compare_stable_paths(StablePathInput{old_store.get(), old_facts},
                                                            StablePathInput{new_store.get(), new_facts}, kPathLimit));
      }
      return compared;
    }();
  }
  if (!comparison) return fail(std::move(comparison).error());
  return comparison_dict(*comparison, paths);
}

PyObject* sizes_list(const std::vector<std::optional<std::uint64_t>>& sizes) {
  return list_of(sizes, binding::optional_number);
}

PyObject* growing_object(const ModuleState& state, const GrowingObject& object) {
  return record_of(state, RecordType::kGrowingObject, {
      {"id", number(object.id)},
      {"type", text(object.type)},
      {"value", binding::optional_text(object.value)},
      {"sizes", sizes_list(object.sizes)},
  });
}

constexpr const char* kGrowthParameters[] = {"stores", "limit"};
constexpr binding::Signature kGrowth{"growth", kGrowthParameters, 1, 1};

Result<PyObject*> engine_growth(PyObject* module, Arguments<2> arguments) {
  VESKER_ASSIGN_OR_RETURN(const Py_ssize_t limit,
                          binding::or_default(arguments[1], static_cast<Py_ssize_t>(kDefaultGrowthLimit), "limit",
                                              binding::to_ssize));
  if (limit < 0) return fail(binding::argument_check(PyExc_ValueError, "limit must not be negative"));
  binding::PyRef sequence = binding::PyRef::steal(PySequence_Fast(arguments[0], "stores must be a sequence of Store"));
  if (!sequence) return fail(binding::pending());
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (count < 3) {
    return fail(binding::argument_check(
        PyExc_ValueError, "growth needs three or more stores, in time order; two are compared by diff"));
  }
  std::vector<std::shared_ptr<const AnalysisStore>> stores;
  for (Py_ssize_t i = 0; i < count; ++i) {
    VESKER_ASSIGN_OR_RETURN(auto store, store_argument(module, PySequence_Fast_GET_ITEM(sequence.get(), i),
                                                       "every store"));
    stores.push_back(std::move(store));
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
  if (!growth) return fail(std::move(growth).error());
  const ModuleState& state = module_state(module);
  return record_of(state, RecordType::kGrowth, {
      {"objects", list_of(growth->objects,
                          [&](const GrowingObject& object) { return growing_object(state, object); })},
      {"growing", number(growth->growing)},
      {"sources", number(growth->sources)},
      {"sizes", text(retained ? "retained" : "subtree")},
  });
}

PyMethodDef kComparisonFunctions[] = {
    binding::method<kDiff, engine_diff>(
        "diff",
        "diff(old, new, *, same_process=False, site_ids=None, sites=None)\n--\n\n"
        "Compares two stores per type; for dumps of one process also object by object: the objects of NEW that "
        "OLD did not have, and what holds them, by allocation site too where site_ids and sites (ascending native "
        "8-byte ids of NEW, their native 4-byte site numbers) say which object was made where; for dumps of "
        "different processes, what grew under the stable "
        "paths from modules that the dumps' reference names give."),
    binding::method<kGrowth, engine_growth>(
        "growth",
        "growth(stores, *, limit=100)\n--\n\n"
        "The objects of the last of several stores of one process, in time order, whose size never shrank and "
        "grew, largest final size first."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* comparison_functions() { return kComparisonFunctions; }

}  // namespace vesker::engine
