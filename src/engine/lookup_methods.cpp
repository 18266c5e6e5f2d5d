// Lookups that show a store whose dump was not whole: dangling references and replaced
// records come back marked instead of failing the whole query.
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/values.h"
#include "core/queries/common_reachable.h"
#include "core/queries/path_search.h"
#include "core/queries/tolerant_lookup.h"
#include "engine/cancellation_object.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "engine/summary_objects.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::number;

constexpr const char* kIdParameter[] = {"id"};
constexpr binding::Signature kGetObjectTolerant{"Store.get_object_tolerant", kIdParameter, 1, 0, 1};

Result<PyObject*> store_get_object_tolerant(PyObject* self, Arguments<1> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  VESKER_ASSIGN_OR_RETURN(const auto found, query_store(self, [&](const AnalysisStore& store) {
                            return get_object_tolerant(store.store, id);
                          }));
  if (!found) return binding::none();
  const ModuleState& module = class_state(Py_TYPE(self));
  const ObjectSummary& summary = found->summary;
  return record_of(module, RecordType::kTolerantObject, {
      {"id", number(summary.id)},
      {"type", binding::readable_text(summary.type)},
      {"value", summary.value ? binding::readable_text(*summary.value) : binding::none()},
      {"size", number(summary.size)},
      {"subtree_size", binding::optional_number(summary.subtree_size)},
      {"state", PyUnicode_FromString("present")},
      {"references", object_rows(module, found->references)},
      {"referrers", object_rows(module, found->referrers)},
  });
}

constexpr const char* kFindPathParameters[] = {"start", "end", "avoid", "cancel"};
constexpr binding::Signature kFindPathTolerant{"Store.find_path_tolerant", kFindPathParameters, 3, 1};

Result<PyObject*> store_find_path_tolerant(PyObject* self, Arguments<4> arguments) {
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[3]));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t start, binding::to_u64(arguments[0], "start"));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t end, binding::to_u64(arguments[1], "end"));
  VESKER_ASSIGN_OR_RETURN(const auto avoid, binding::to_id_set(arguments[2], "avoid"));
  VESKER_ASSIGN_OR_RETURN(const auto path, query_store(self, [&](const AnalysisStore& store) {
                            return find_path_between_objects(store.store, start, end, avoid, MissingRecords::kSkip,
                                                             cancel.check());
                          }));
  if (!path) return binding::none();
  const ModuleState& module = class_state(Py_TYPE(self));
  return binding::list_of(*path,
                          [&](const ObjectSummary& step) { return object_row(module, step.id, step, "present"); });
}

constexpr const char* kFindCommonParameters[] = {"first", "second", "cancel"};
constexpr binding::Signature kFindCommonTolerant{"Store.find_common_tolerant", kFindCommonParameters, 2, 1};

Result<PyObject*> store_find_common_tolerant(PyObject* self, Arguments<3> arguments) {
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[2]));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t first, binding::to_u64(arguments[0], "first"));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t second, binding::to_u64(arguments[1], "second"));
  VESKER_ASSIGN_OR_RETURN(const auto found, query_store(self, [&](const AnalysisStore& store) {
                            return find_largest_common_reachable_object(store.store, first, second,
                                                                        MissingRecords::kSkip, cancel.check());
                          }));
  return binding::optional_number(found);
}

constexpr binding::Signature kCheckReferences{"Store.check_references", {}};

Result<PyObject*> store_check_references(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const auto check, query_store(self, [](const AnalysisStore& store) {
                            return check_references(store.store);
                          }));
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(check.records),
                       static_cast<unsigned long long>(check.dangling_references));
}

const PyMethodDef kLookupMethods[] = {
    binding::method<kGetObjectTolerant, store_get_object_tolerant>(
        "get_object_tolerant",
        "get_object_tolerant(id)\n--\n\nThe object as a TolerantObject, with its references and referrers as "
        "ObjectRows, each marked 'present', 'missing' (no record) or 'stale' (a replaced record that referred to "
        "it); None without a record."),
    binding::method<kFindPathTolerant, store_find_path_tolerant>(
        "find_path_tolerant",
        "find_path_tolerant(start, end, avoid, *, cancel=None)\n--\n\nA shortest path as a list of ObjectRows, "
        "passing by references to ids without a record; None when there is none."),
    binding::method<kFindCommonTolerant, store_find_common_tolerant>(
        "find_common_tolerant",
        "find_common_tolerant(first, second, *, cancel=None)\n--\n\nThe largest object both reach, passing by "
        "references to ids without a record; None when there is none."),
    binding::method<kCheckReferences, store_check_references>(
        "check_references",
        "check_references()\n--\n\n(records, dangling references): the number of records and of references to ids "
        "without one."),
};

}  // namespace

std::span<const PyMethodDef> lookup_methods() { return kLookupMethods; }

}  // namespace vesker::engine
