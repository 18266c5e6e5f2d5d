#include "core/comparison/object_identity.h"

#include <lmdb.h>

#include <string_view>
#include <utility>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

bool is_immutable(std::string_view type) {
  return type == "builtins.str" || type == "builtins.bytes" || type == "builtins.int" || type == "builtins.float" ||
         type == "builtins.complex" || type == "builtins.bool" || type == "builtins.tuple" ||
         type == "builtins.frozenset" || type == "builtins.range" || type == "builtins.slice";
}

}  // namespace

RecordMatch match_records(const RecordView& earlier, const RecordView& later, bool stored_alike) {
  if (earlier.id != later.id || earlier.type != later.type) return RecordMatch::different;
  if (stored_alike) return RecordMatch::same;
  return is_immutable(later.type) ? RecordMatch::different : RecordMatch::same_if_held_alike;
}

Result<HolderComparison> HolderComparison::open(const Store& earlier, const Store& later) {
  VESKER_ASSIGN_OR_RETURN(Transaction earlier_txn, earlier.begin_read());
  VESKER_ASSIGN_OR_RETURN(Transaction later_txn, later.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor earlier_cursor, Cursor::open(earlier_txn, earlier.referrers));
  VESKER_ASSIGN_OR_RETURN(Cursor later_cursor, Cursor::open(later_txn, later.referrers));
  return HolderComparison(std::move(earlier_txn), std::move(later_txn), earlier.primary, std::move(earlier_cursor),
                          std::move(later_cursor));
}

Result<bool> HolderComparison::held_alike(std::uint64_t id) {
  const IdBytes key(id);
  VESKER_ASSIGN_OR_RETURN(const bool shares_a_referrer, shares_a_referrer(key.view()));
  if (shares_a_referrer) return true;
  return held_through_a_new_object(key.view());
}

// Both lists of referrers are sorted alike (LMDB orders duplicates by their bytes), so a common
// one is found by leapfrogging: each side jumps to the first referrer not below the other's, until
// they meet or one runs out. Most objects keep the referrer that sorts first: one jump, which also
// finds out whether the later store has any referrer at all.
Result<bool> HolderComparison::shares_a_referrer(std::string_view key) {
  VESKER_ASSIGN_OR_RETURN(auto earlier, earlier_.seek(MDB_SET_KEY, key));
  if (!earlier) {
    VESKER_ASSIGN_OR_RETURN(auto later, later_.seek(MDB_SET, key));
    return !later;
  }
  Cursor* jumping = &later_;
  std::string_view wanted = earlier->value;
  for (;;) {
    VESKER_ASSIGN_OR_RETURN(auto found, jumping->seek(MDB_GET_BOTH_RANGE, key, wanted));
    if (!found) return false;
    if (found->value == wanted) return true;
    wanted = found->value;
    jumping = jumping == &later_ ? &earlier_ : &later_;
  }
}

// An instance's attributes are read straight from the instance until something asks for its
// `__dict__`; from then on the instance holds them through that dict, made in between. So an
// object counts as held alike when a referrer that the earlier store has no record of is held by
// one of the object's earlier referrers. Only a few of each are read: the case has one of each.
Result<bool> HolderComparison::held_through_a_new_object(std::string_view key) {
  constexpr std::size_t kMaxRead = 8;
  std::vector<std::uint64_t> new_referrers;
  VESKER_ASSIGN_OR_RETURN(auto later, later_.seek(MDB_SET_KEY, key));
  for (std::size_t read = 0; later && read < kMaxRead; ++read) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(later->value));
    VESKER_ASSIGN_OR_RETURN(auto known, earlier_txn_.get(earlier_primary_, IdBytes(referrer).view()));
    if (!known) new_referrers.push_back(referrer);
    VESKER_ASSIGN_OR_RETURN(later, later_.move(MDB_NEXT_DUP));
  }
  for (const std::uint64_t referrer : new_referrers) {
    VESKER_ASSIGN_OR_RETURN(auto holder, later_.seek(MDB_SET_KEY, IdBytes(referrer).view()));
    for (std::size_t read = 0; holder && read < kMaxRead; ++read) {
      VESKER_ASSIGN_OR_RETURN(auto held_before, earlier_.seek(MDB_GET_BOTH, key, holder->value));
      if (held_before) return true;
      VESKER_ASSIGN_OR_RETURN(holder, later_.move(MDB_NEXT_DUP));
    }
  }
  return false;
}

}  // namespace vesker
