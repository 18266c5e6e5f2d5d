// The retained sizes that the dominator analysis stored beside a store, as the comparisons ask
// for them.
#pragma once

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

  Result<std::optional<DominatorFacts>> facts(std::uint64_t id) const override;

 private:
  StoredRetainedFacts(const AnalysisStore& store, Transaction txn) : store_(&store), txn_(std::move(txn)) {}

  const AnalysisStore* store_;
  Transaction txn_;  // one view of the facts for the whole comparison
};

}  // namespace vesker
