// Rows staged for the store, put in the databases' own key order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

// Rows accumulate here and go into LMDB sorted, which turns random B-tree inserts into
// sequential ones and lets runs of duplicates go in with one call. Sorting preserves the
// semantics of putting rows one by one: the last record of an id wins in `primary`, and the
// duplicate databases are sets.
class RowBatch {
 public:
  RowBatch();

  void add(const RawObjectRecord& record);
  // An estimate of the memory the staged rows use.
  std::size_t staged_bytes() const noexcept;
  bool empty() const noexcept { return primary_.empty(); }

  // Puts every staged row through `txn` and clears the batch.
  Status put_all(const Store& store, Transaction& txn);

 private:
  struct PrimaryRow {
    std::uint64_t id;
    std::size_t offset;  // of the encoded record in `encoded_records_`
    std::size_t length;
  };
  // A row of a type-keyed database. Values are kept as big-endian numbers, so that numeric
  // order is the byte order LMDB compares them in.
  struct TypedRow {
    std::uint32_t type;  // index into `type_names_`; its rank in key order while sorting
    std::uint64_t high;  // the value's first 8 bytes
    std::uint64_t low;   // its last 8 bytes (zero for 8-byte values)
  };

  std::uint32_t type_index(std::string_view name);
  Status put_primary(const Store& store, Transaction& txn);
  Status put_referrers(const Store& store, Transaction& txn);
  Status put_typed(Transaction& txn, Database db, std::vector<TypedRow>& rows, std::size_t value_size);

  std::string encoded_records_;
  std::vector<PrimaryRow> primary_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> referrers_;  // (referenced id, referrer as big-endian number)
  std::vector<TypedRow> types_;
  std::vector<TypedRow> sizes_;
  std::deque<std::string> type_names_;  // a deque keeps the names in place for the views below
  absl::flat_hash_map<std::string_view, std::uint32_t> type_indexes_;
  std::uint32_t all_types_;
};

}  // namespace vesker
