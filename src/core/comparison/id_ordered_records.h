// The objects of one store in id order, one at a time: `primary` is keyed by integer ids, which
// LMDB keeps sorted, so two or more stores can be compared in one merge pass without holding
// either in memory.
#pragma once

#include <memory>
#include <optional>

#include "core/codecs/object_record.h"
#include "core/comparison/record_view.h"
#include "core/common/error.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker {

class IdOrderedRecords {
 public:
  // Reads in a read transaction of its own, so the view stays the same for the whole pass.
  static Result<IdOrderedRecords> open(const Store& store);

  // The record at the read position, nothing once every record has been read. Its views stay
  // valid until the next `advance`.
  const RecordView* current() const noexcept { return exhausted_ ? nullptr : &record_; }
  // Moves to the next record in id order.
  Status advance();

 private:
  IdOrderedRecords(Transaction txn, Cursor cursor) : txn_(std::move(txn)), cursor_(std::move(cursor)) {}
  Status decode(const std::optional<Entry>& entry);

  Transaction txn_;
  Cursor cursor_;
  RecordView record_;
  // What `record_` views when the general decoder had to read it. On the heap, so that the views
  // survive moves of this object (a short type name lives inside the string object itself).
  std::unique_ptr<ObjectSummary> decoded_;
  bool exhausted_ = false;
};

}  // namespace vesker
