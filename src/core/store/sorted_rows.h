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

// Puts the sorted, distinct duplicates of one key after another, handed over one at a time or in
// runs of any size. A key beyond every key of the database is appended without a search, and a key
// that the database does not hold yet takes up to 65,536 values per call; the duplicates of a key
// that the database already holds go in one by one, which keeps LMDB's set semantics for values
// there.
class DuplicatePutter {
 public:
  DuplicatePutter(Cursor& cursor, std::size_t value_size) : cursor_(&cursor), value_size_(value_size) {}

  // Starts the next key, after putting what `add` left of the one before; `beyond_last_key`:
  // every key the database held before sorts below it.
  Status begin_key(std::string_view key, bool beyond_last_key);
  // One more value of the current key, `value_size` bytes, above the ones before; it is put
  // with the next ones, by `begin_key` or `finish` at the latest.
  Status add(std::string_view value);
  // More values of the current key, `value_size` bytes each, above the ones before.
  Status put(std::string_view values);
  // Puts what `add` left.
  Status finish() { return flush(); }
  // Goes on with the current key through `cursor`, of a transaction begun after the one of the
  // cursor before was committed; call it between `put`s, with nothing left by `add`.
  void reattach(Cursor& cursor) noexcept { cursor_ = &cursor; }

 private:
  static constexpr std::size_t kValuesPerCall = std::size_t{1} << 16;

  Status flush();
  Status put_piece(std::string_view values);

  Cursor* cursor_;
  std::size_t value_size_;
  std::string key_;
  std::string added_;  // values given to `add`, not put yet
  bool beyond_last_key_ = false;
  bool first_piece_ = true;
  bool key_is_new_ = false;  // created by this putter: its values can be appended
};

// Puts a run of fixed-size duplicates of one key (`values` holds them back to back, sorted).
Status put_duplicate_run(Cursor& cursor, std::string_view key, std::string_view values, std::size_t value_size,
                         bool beyond_last_key);

// Sorting rows before putting them turns random B-tree inserts into sequential ones and lets
// runs of duplicates go in with one call, while the stored set stays the same.
class TypeKeyedRows {
 public:
  struct Row {
    std::uint32_t type;  // index into the names; once sorted, the rank of the name in key order
    std::uint64_t high;
    std::uint64_t low;
  };

  // Values are given as big-endian numbers, so that numeric order is the byte order LMDB
  // compares them in: `high` is the value's first 8 bytes, `low` its last 8 (for 16-byte values).
  void add(std::string_view type, std::uint64_t high, std::uint64_t low = 0) {
    rows_.push_back({type_index(type), high, low});
  }
  std::size_t size() const noexcept { return rows_.size(); }
  std::size_t staged_bytes() const noexcept { return rows_.size() * sizeof(Row); }

  // Sorts the rows in the database's order and drops repeats; a row's `type` becomes the rank
  // of its name, which `name_of_rank` turns back into the name.
  void sort();
  const std::vector<Row>& rows() const noexcept { return rows_; }
  std::size_t name_count() const noexcept { return names_.size(); }
  const std::string& name_of_rank(std::uint32_t rank) const { return names_[by_rank_[rank]]; }
  // Forgets the rows (the names stay for the next ones).
  void clear_rows() noexcept { rows_.clear(); }

  // Puts every row, sorted by `sort` before (values of `value_size` bytes, 8 or 16), through
  // `txn` and clears the rows.
  Status put_sorted(Transaction& txn, Database db, std::size_t value_size);

 private:
  std::uint32_t type_index(std::string_view name);

  std::vector<Row> rows_;
  std::deque<std::string> names_;  // a deque keeps the names in place for the views below
  absl::flat_hash_map<std::string_view, std::uint32_t> indexes_;
  std::vector<std::uint32_t> by_rank_;  // name index of each rank, after `sort`
  std::vector<Row> scratch_;            // the sort's, kept: fresh memory costs more than it holds
};

// Appends a sorted key's values (8 or 16 bytes each, from `high` and `low` as big-endian numbers).
void append_value(std::string& values, const TypeKeyedRows::Row& row, std::size_t value_size);

}  // namespace vesker
