// The objects of one store in id order, one at a time: `primary` is keyed by integer ids, which
// LMDB keeps sorted, so two or more stores can be compared in one merge pass without holding
// either in memory.
//
// The id comes from the key and the fields are read from the stored bytes only when asked for:
// a comparison matches most records by id and bytes alone, and an unchanged record needs reading
// on one side only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

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

  // Once every record has been read.
  bool exhausted() const noexcept { return !at_; }
  // The id and the stored bytes of the record at the read position; not once exhausted. The
  // bytes stay valid for the whole pass.
  std::uint64_t id() const noexcept { return id_; }
  std::string_view stored() const noexcept { return at_->value; }
  // The record at the read position, nothing once exhausted. Its views stay valid until the
  // next `advance`.
  Result<const RecordView*> current() const;
  // Moves to the next record in id order.
  Status advance();

 private:
  IdOrderedRecords(Transaction txn, Cursor cursor) : txn_(std::move(txn)), cursor_(std::move(cursor)) {}
  Status position(std::optional<Entry> entry);

  Transaction txn_;
  Cursor cursor_;
  std::optional<Entry> at_;
  std::uint64_t id_ = 0;
  mutable bool read_ = false;  // whether `record_` holds the record at the read position
  mutable RecordView record_;
  // What `record_` views when the general decoder had to read it. On the heap, so that the views
  // survive moves of this object (a short type name lives inside the string object itself).
  mutable std::unique_ptr<ObjectSummary> decoded_;
};

}  // namespace vesker
