// Which objects that already existed hold the new objects of a later dump.
//
// Every new object has a nearest dominator that is not new (an object the earlier dump had, or
// the roots). The new objects right below such a dominator are the tops of the new subtrees;
// their retained sizes cover every new object further down, so only the tops are counted, merged
// by their type and their holder's type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/comparison/comparison.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker {

struct NewObject {
  std::uint64_t id = 0;
  std::uint32_t type = 0;  // index into the type names
  std::uint64_t size = 0;
  DominatorFacts dominance;
};

// The holders' types are read from the later dump through `new_txn`.
Result<std::vector<HeldGroup>> group_by_holder(std::span<const NewObject> new_objects,
                                               std::span<const std::string> type_names, const Store& new_store,
                                               const Transaction& new_txn);

}  // namespace vesker
