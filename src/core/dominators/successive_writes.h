// A long write split over successive write transactions of bounded size.
//
// LMDB holds the pages a write transaction dirties in anonymous memory until it commits (up to
// 512 MiB before it spills some of them to the file), and keeps the freed pages for the
// environment's later transactions: what one long transaction dirties stays in the process for
// good. Committing every few tens of megabytes bounds that. Readers see each commit, so a
// writer that splits its work must make the partial state recognisable to them (the retained
// sizes drop their completion record in the first transaction and write it in the last).
#pragma once

#include <cstddef>

#include "core/common/error.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker::dominators {

class SuccessiveWrites {
 public:
  // Writes through `txn` alone: never due, `next` is never needed.
  explicit SuccessiveWrites(Transaction& txn) noexcept : txn_(&txn) {}
  // Writes through `txn`, replaced by a new transaction of `store` after `budget` bytes.
  SuccessiveWrites(Transaction& txn, const Store& store, std::size_t budget) noexcept
      : txn_(&txn), store_(&store), budget_(budget) {}

  Transaction& txn() const noexcept { return *txn_; }
  void wrote(std::size_t bytes) noexcept { written_ += bytes; }
  // Whether the transaction has written its share (something, at least): the caller closes its
  // cursors, calls `next` and opens them again.
  bool due() const noexcept { return store_ != nullptr && written_ > 0 && written_ >= budget_; }
  Status next() {
    VESKER_TRY(txn_->commit());
    VESKER_ASSIGN_OR_RETURN(*txn_, store_->begin_write());
    written_ = 0;
    return {};
  }

 private:
  Transaction* txn_;
  const Store* store_ = nullptr;
  std::size_t budget_ = 0;
  std::size_t written_ = 0;
};

}  // namespace vesker::dominators
