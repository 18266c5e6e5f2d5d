// Rows of a type-keyed duplicate database, staged and put in the database's own order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "core/common/error.h"
#include "core/store/transaction.h"

namespace vesker {

// Puts a run of fixed-size duplicates of one key (`values` holds them back to back, sorted).
// A key beyond every key of the database is appended without a search; another key that the
// database does not hold yet takes the whole run in one call; otherwise each value goes in on
// its own, which keeps LMDB's set semantics for values already there.
Status put_duplicate_run(Cursor& cursor, std::string_view key, std::string_view values, std::size_t value_size,
                         bool beyond_last_key);

// Sorting rows before putting them turns random B-tree inserts into sequential ones and lets
// runs of duplicates go in with one call, while the stored set stays the same.
class TypeKeyedRows {
 public:
  // Values are given as big-endian numbers, so that numeric order is the byte order LMDB
  // compares them in: `high` is the value's first 8 bytes, `low` its last 8 (for 16-byte values).
  void add(std::string_view type, std::uint64_t high, std::uint64_t low = 0) {
    rows_.push_back({type_index(type), high, low});
  }
  std::size_t size() const noexcept { return rows_.size(); }
  std::size_t staged_bytes() const noexcept { return rows_.size() * sizeof(Row); }

  // Puts every row (values of `value_size` bytes, 8 or 16) through `txn` and clears the rows.
  Status put_all(Transaction& txn, Database db, std::size_t value_size);

 private:
  struct Row {
    std::uint32_t type;  // index into `names_`; its rank in key order while sorting
    std::uint64_t high;
    std::uint64_t low;
  };

  std::uint32_t type_index(std::string_view name);

  std::vector<Row> rows_;
  std::deque<std::string> names_;  // a deque keeps the names in place for the views below
  absl::flat_hash_map<std::string_view, std::uint32_t> indexes_;
};

}  // namespace vesker
