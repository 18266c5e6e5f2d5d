// When a record of a later dump of one process is the same object as a record of an earlier one.
//
// CPython never moves an object, so within one process an id names one object for its whole
// life; after the object dies its address is often given to the next object of the same size
// class, of any type and quite often of the same one: a tuple that dies, and the tuple built
// next. What an object cannot change tells the two apart:
// - its type;
// - for an immutable object (strings, bytes, numbers, tuples, frozensets), everything its record
//   holds but its subtree size: its value, its size and what it refers to are fixed at birth;
// - for any other object, its holders: an object that none of its earlier referrers holds any more,
//   directly or through an object made in between (an instance's `__dict__`), is taken for another
//   one (an object moved whole from one container to another is taken for a new one too: the dumps
//   cannot tell that apart from a reused address).
// Records stored alike but for their subtree sizes are taken for one object without asking for
// holders: they cannot show a growth of their own.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/common/error.h"
#include "core/comparison/record_view.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker {

enum class RecordMatch {
  different,           // another object at the same address
  same,                // one object
  same_if_held_alike,  // one object when a referrer of the earlier record still refers to it
};

// `stored_alike`: whether the two stored records agree in everything but their subtree sizes.
RecordMatch match_records(const RecordView& earlier, const RecordView& later, bool stored_alike);

// Whether an object still hangs on one of the referrers it had, between two stores of one
// process: directly, or through an object made in between. An object without referrers hangs
// from the roots: it is held alike when it has none in either store.
class HolderComparison {
 public:
  // Reads both stores in read transactions of their own.
  static Result<HolderComparison> open(const Store& earlier, const Store& later);

  Result<bool> held_alike(std::uint64_t id);

 private:
  HolderComparison(Transaction earlier_txn, Transaction later_txn, Database earlier_primary, Cursor earlier,
                   Cursor later)
      : earlier_txn_(std::move(earlier_txn)), later_txn_(std::move(later_txn)), earlier_primary_(earlier_primary),
        earlier_(std::move(earlier)), later_(std::move(later)) {}
  Result<bool> shares_a_referrer(std::string_view key);
  Result<bool> held_through_a_new_object(std::string_view key);

  Transaction earlier_txn_;
  Transaction later_txn_;
  Database earlier_primary_;
  Cursor earlier_;  // over `referrers`, one for every question: opening one costs more than the seek
  Cursor later_;
};

}  // namespace vesker
