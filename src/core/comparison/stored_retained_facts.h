// The retained sizes that the dominator analysis stored beside a store, as the comparisons ask
// for them.
//
// A comparison asks for the facts of every object in id order, the order of the database's keys,
// so the facts are read by walking one cursor forward beside the records: most questions cost a
// step to the next entry instead of a search from the top of the tree. A question out of order
// (as the holders of new objects ask) is a search, after which the walk goes on from there.
#pragma once

#include <cstdint>
#include <optional>

#include "core/common/error.h"
#include "core/comparison/retained_facts.h"
#include "core/store/analysis_store.h"
#include "core/store/transaction.h"

namespace vesker {

class StoredRetainedFacts final : public RetainedFacts {
 public:
  // Nothing unless the store's retained sizes are fresh: stale ones would describe other objects.
  static Result<std::optional<StoredRetainedFacts>> open(const AnalysisStore& store);

  // Not safe to call from two threads at once: the walk moves one cursor.
  Result<std::optional<DominatorFacts>> facts(std::uint64_t id) const override;

 private:
  StoredRetainedFacts(Transaction txn, Cursor cursor) : txn_(std::move(txn)), cursor_(std::move(cursor)) {}
  // Moves the cursor to the first entry at or after `id`: a few steps forward when it is just
  // before it, a search otherwise.
  Status position_at(std::uint64_t id) const;

  Transaction txn_;  // one view of the facts for the whole comparison
  mutable Cursor cursor_;
  mutable std::optional<Entry> at_;  // the entry under the cursor, nothing before the first question or past the end
};

}  // namespace vesker
