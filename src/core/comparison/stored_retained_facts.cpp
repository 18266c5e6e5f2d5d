#include "core/comparison/stored_retained_facts.h"

#include <lmdb.h>

#include <string>
#include <utility>

#include "core/common/byte_order.h"
#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"

namespace vesker {
namespace {

// Beyond this many entries between two questions, a search is cheaper than stepping.
constexpr int kMaxSteps = 8;

Result<std::uint64_t> id_of(const Entry& entry) {
  if (entry.key.size() != 8) return fail(Error::decoding("a dominator key of " + std::to_string(entry.key.size()) + " bytes"));
  return load_u64_le(entry.key.data());
}

}  // namespace

Result<std::optional<StoredRetainedFacts>> StoredRetainedFacts::open(const AnalysisStore& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  VESKER_ASSIGN_OR_RETURN(const dominators::RetainedState state, dominators::retained_state(txn, store));
  if (state != dominators::RetainedState::fresh) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.dominators));
  return StoredRetainedFacts(std::move(txn), std::move(cursor));
}

Status StoredRetainedFacts::position_at(std::uint64_t id) const {
  if (at_) {
    VESKER_ASSIGN_OR_RETURN(std::uint64_t at, id_of(*at_));
    if (at == id) return {};
    for (int step = 0; at < id && step < kMaxSteps; ++step) {
      VESKER_ASSIGN_OR_RETURN(at_, cursor_.move(MDB_NEXT));
      if (!at_) return {};  // every entry lies before `id`
      VESKER_ASSIGN_OR_RETURN(at, id_of(*at_));
      if (at >= id) return {};  // stepped from below: no entry lies between
    }
  }
  VESKER_ASSIGN_OR_RETURN(at_, cursor_.seek(MDB_SET_RANGE, IdBytes(id).view()));
  return {};
}

Result<std::optional<DominatorFacts>> StoredRetainedFacts::facts(std::uint64_t id) const {
  VESKER_TRY(position_at(id));
  if (!at_) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t at, id_of(*at_));
  if (at != id) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(const dominators::RetainedFacts stored, dominators::decode_retained(id, at_->value));
  return DominatorFacts{stored.idom.value_or(0), stored.retained};
}

}  // namespace vesker
