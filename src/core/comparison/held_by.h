// Which objects that already existed hold the new objects of a later dump.
//
// A new object's candidate holders are its immediate dominator where the later dump has retained
// facts, else the objects that refer to it. A new object with a candidate that is not new (an
// object the earlier dump had, or the roots) is the top of a new subtree, held by that
// candidate. Every other new object hangs below new objects; it is counted with the top that its
// first usable new candidate leads to, so each new byte is counted once. The tops are merged by
// their type, their allocation site and their holder's type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/comparison/comparison.h"
#include "core/comparison/retained_facts.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker {

// Id 0 stands for the roots.
class HolderCandidates {
 public:
  virtual ~HolderCandidates() = default;
  // Replaces `out` with the objects of the later dump that may hold `id`, best first.
  virtual Status candidates(std::uint64_t id, std::vector<std::uint64_t>& out) = 0;
};

class DominatorHolders final : public HolderCandidates {
 public:
  explicit DominatorHolders(const RetainedFacts& facts) : facts_(facts) {}
  Status candidates(std::uint64_t id, std::vector<std::uint64_t>& out) override;

 private:
  const RetainedFacts& facts_;
};

// The referrers in the store's own order; an object without any hangs from the roots.
class ReferrerHolders final : public HolderCandidates {
 public:
  static Result<ReferrerHolders> open(const Store& store, const Transaction& txn);
  Status candidates(std::uint64_t id, std::vector<std::uint64_t>& out) override;

 private:
  explicit ReferrerHolders(Cursor cursor) : cursor_(std::move(cursor)) {}
  Cursor cursor_;  // one for every lookup: opening one per object costs more than the lookup
};

struct NewObject {
  std::uint64_t id = 0;
  std::uint32_t type = 0;  // index into the type names
  std::uint64_t size = 0;
  std::uint32_t site = kUnknownSite;
};

// `new_objects` in id order. The holders' types are read from the later dump through `txn`.
Result<std::vector<HeldGroup>> group_by_holder(std::span<const NewObject> new_objects,
                                               std::span<const std::string> type_names,
                                               HolderCandidates& holders, const Store& new_store,
                                               const Transaction& txn);

}  // namespace vesker
