#include "core/comparison/stored_retained_facts.h"

#include <utility>

#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"

namespace vesker {

Result<std::optional<StoredRetainedFacts>> StoredRetainedFacts::open(const AnalysisStore& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  VESKER_ASSIGN_OR_RETURN(const dominators::RetainedState state, dominators::retained_state(txn, store));
  if (state != dominators::RetainedState::fresh) return std::nullopt;
  return StoredRetainedFacts(store, std::move(txn));
}

Result<std::optional<DominatorFacts>> StoredRetainedFacts::facts(std::uint64_t id) const {
  VESKER_ASSIGN_OR_RETURN(const auto stored, dominators::read_retained(txn_, *store_, id));
  if (!stored) return std::nullopt;
  return DominatorFacts{stored->idom.value_or(0), stored->retained};
}

}  // namespace vesker
