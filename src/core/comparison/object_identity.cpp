#include "core/comparison/object_identity.h"

#include <lmdb.h>

#include <string_view>
#include <utility>

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
  return HolderComparison(std::move(earlier_txn), std::move(later_txn), std::move(earlier_cursor),
                          std::move(later_cursor));
}

// Both lists of referrers are sorted alike (LMDB orders duplicates by their bytes), so a common
// one is found by leapfrogging: each side jumps to the first referrer not below the other's, until
// they meet or one runs out. Most objects keep the referrer that sorts first: one jump, which also
// finds out whether the later store has any referrer at all.
Result<bool> HolderComparison::held_alike(std::uint64_t id) {
  const IdBytes key(id);
  VESKER_ASSIGN_OR_RETURN(auto earlier, earlier_.seek(MDB_SET_KEY, key.view()));
  if (!earlier) {
    VESKER_ASSIGN_OR_RETURN(auto later, later_.seek(MDB_SET, key.view()));
    return !later;
  }
  Cursor* jumping = &later_;
  std::string_view wanted = earlier->value;
  for (;;) {
    VESKER_ASSIGN_OR_RETURN(auto found, jumping->seek(MDB_GET_BOTH_RANGE, key.view(), wanted));
    if (!found) return false;
    if (found->value == wanted) return true;
    wanted = found->value;
    jumping = jumping == &later_ ? &earlier_ : &later_;
  }
}

}  // namespace vesker
