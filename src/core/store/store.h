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

}  // namespace vesker
