// The record classes of vesker.engine, one per shape of answer, and the builder of their records.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace vesker::engine {

struct ModuleState;

enum class RecordType {
  kObjectRow,
  kTolerantObject,
  kEdgePage,
  kStoreCheck,
  kRetainedRun,
  kRetainedRow,
  kTreeRow,
  kWhyAnswer,
  kSuspectFinding,
  kSuspectRow,
  kHeldType,
  kWasteFinding,
  kDuplicateGroup,
  kWasteHolder,
  kContainerGroup,
  kWasteTotal,
  kSiteTotals,
  kSiteRow,
  kUnknownSite,
  kSiteSeconds,
  kGrowth,
  kGrowingObject,
  kCount,
};

inline constexpr std::size_t kRecordTypeCount = static_cast<std::size_t>(RecordType::kCount);

// Makes every record class, adds it to `module` and keeps it in `state`; -1 with an exception set.
int add_record_types(PyObject* module, ModuleState& state);

// A record of the class `type` of the module whose state is `module` (see binding::record_of).
PyObject* record_of(const ModuleState& module, RecordType type,
                    std::initializer_list<std::pair<const char*, PyObject*>> items);

}  // namespace vesker::engine
