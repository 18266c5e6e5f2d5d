// The store: one environment and its six databases.
#pragma once

#include <memory>
#include <string_view>

#include "core/common/error.h"
#include "core/store/environment.h"
#include "core/store/transaction.h"

namespace vesker {

struct Store {
  std::shared_ptr<Environment> environment;
  Database primary;                   // id -> RawObjectRecord JSON
  Database referrers;                 // referenced id -> referrer ids (duplicates)
  Database types;                     // Type -> object ids (duplicates)
  Database types_size_index;          // Type -> SizeIndexEntry (direct size, id) (duplicates)
  Database types_subtree_size_index;  // Type -> SizeIndexEntry (subtree size, id) (duplicates)
  Database type_summaries;            // Type -> TypeSummary

  // Opens or creates the store in an existing directory, for its one explorer in this process.
  static Result<Store> open(std::string_view directory);
  // The same store for any other reader or writer: shares the environment that this process
  // may already have open.
  static Result<Store> share(std::string_view directory);

  Result<Transaction> begin_read() const { return Transaction::begin(*environment, Transaction::Mode::read_only); }
  Result<Transaction> begin_write() const { return Transaction::begin(*environment, Transaction::Mode::read_write); }
};

// Opens one named database of the environment; with MDB_CREATE among the flags (in a write
// transaction) it is created when missing, otherwise its absence fails.
Result<Database> open_database(const Transaction& txn, const Environment& environment, const char* name,
                               unsigned flags);

// Opens a set of databases with `open(txn, create)` (`create` is 0 or MDB_CREATE): in a read
// transaction when they exist already, so that opening never waits for another process's import
// (handles opened by a read transaction that commits are the same), else creating them in a write
// transaction.
template <class Open>
Status open_or_create(const Store& store, Open&& open) {
  {
    VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
    if (open(txn, 0u)) return txn.commit();
  }
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_write());
  VESKER_TRY(open(txn, static_cast<unsigned>(MDB_CREATE)));
  return txn.commit();
}

}  // namespace vesker
