// Waste: duplicate strings and bytes, empty, over-allocated and sparse collections.
#include <Python.h>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/values.h"
#include "core/waste/heap_waste.h"
#include "engine/cancellation_object.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::dict_of;
using binding::list_of;
using binding::text;
using binding::number;

const char* kind_name(waste::ContainerWaste kind) {
  switch (kind) {
    case waste::ContainerWaste::kEmpty:
      return "empty";
    case waste::ContainerWaste::kOverAllocated:
      return "over-allocated";
    case waste::ContainerWaste::kSparse:
      return "sparse";
  }
  return "?";
}

PyObject* duplicate_record(const ModuleState& module, const waste::DuplicateGroup& group) {
  return record_of(module, RecordType::kDuplicateGroup, {
      {"type", text(group.type)},
      {"value", text(group.value)},
      {"size", number(group.size)},
      {"copies", number(group.copies)},
      {"saving", number(group.saving)},
      {"sample", number(group.sample)},
      {"holders", list_of(group.holders,
                          [&](const waste::Holder& holder) {
                            return record_of(module, RecordType::kWasteHolder,
                                             {{"label", text(holder.label)}, {"count", number(holder.count)}});
                          })},
  });
}

PyObject* container_record(const ModuleState& module, const waste::ContainerGroup& group) {
  return record_of(module, RecordType::kContainerGroup, {
      {"kind", text(kind_name(group.kind))},
      {"type", text(group.type)},
      {"holder", text(group.holder)},
      {"count", number(group.count)},
      {"size", number(group.size)},
      {"saving", number(group.saving)},
      {"sample", number(group.sample)},
  });
}

constexpr const char* kWasteParameters[] = {"limit", "cancel"};
constexpr binding::Signature kWaste{"Store.waste", kWasteParameters, 0, 1};

PyObject* total_record(const ModuleState& module, std::uint64_t count, std::uint64_t saving) {
  return record_of(module, RecordType::kWasteTotal, {{"count", number(count)}, {"saving", number(saving)}});
}

Result<PyObject*> store_waste(PyObject* self, Arguments<2> arguments) {
  waste::WasteOptions options;
  VESKER_ASSIGN_OR_RETURN(options.limit, binding::or_default(arguments[0], static_cast<std::uint64_t>(options.limit),
                                                             "limit", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[1]));
  VESKER_ASSIGN_OR_RETURN(const waste::WasteReport report,
                          query_store(self, [&](const AnalysisStore& store) -> Result<waste::WasteReport> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            return waste::find_waste(txn, store, options, cancel.check());
                          }));
  const ModuleState& module = class_state(Py_TYPE(self));
  return record_of(module, RecordType::kWasteFinding, {
      {"duplicates", list_of(report.duplicates,
                             [&](const waste::DuplicateGroup& group) { return duplicate_record(module, group); })},
      {"containers", list_of(report.containers,
                             [&](const waste::ContainerGroup& group) { return container_record(module, group); })},
      {"totals", dict_of({
          {"duplicates", total_record(module, report.duplicate_groups, report.duplicate_saving)},
          {"empty", total_record(module, report.empty_count, report.empty_saving)},
          {"over-allocated", total_record(module, report.over_allocated_count, report.over_allocated_saving)},
          {"sparse", total_record(module, report.sparse_count, report.sparse_saving)},
      })},
  });
}

const PyMethodDef kWasteMethods[] = {
    binding::method<kWaste, store_waste>(
     "waste",
     "waste(limit=20, *, cancel=None)\n--\n\nDuplicate str and bytes values (what sharing one copy would save, with "
     "their holders), and empty, over-allocated and sparse lists, dicts and sets grouped by what holds them, with the "
     "totals of each kind."),
};

}  // namespace

std::span<const PyMethodDef> waste_methods() { return kWasteMethods; }

}  // namespace vesker::engine
