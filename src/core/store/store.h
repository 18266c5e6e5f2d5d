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

  // Opens or creates the store in an existing directory.
  static Result<Store> open(std::string_view directory);

  Result<Transaction> begin_read() const { return Transaction::begin(*environment, Transaction::Mode::read_only); }
  Result<Transaction> begin_write() const { return Transaction::begin(*environment, Transaction::Mode::read_write); }
};

}  // namespace vesker
