// Rows staged for the store, put in the databases' own key order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/store/sorted_rows.h"
#include "core/store/store.h"

namespace vesker {

class SpilledRuns;

// Rows accumulate here and go into LMDB sorted, which turns random B-tree inserts into
// sequential ones and lets runs of duplicates go in with one call. Sorting preserves the
// semantics of putting rows one by one: the last record of an id wins in `primary`, and the
// duplicate databases are sets.
class RowBatch {
 public:
  void add(const RawObjectRecord& record);
  // An estimate of the memory the staged rows use.
  std::size_t staged_bytes() const noexcept;

  // Puts every staged row through `txn` and clears the batch.
  Status put_all(const Store& store, Transaction& txn);
  // Sorts rows ahead of `spill` or `put_all` (which sort what is not sorted yet): the primary
  // rows, dropping those that a later one of the same id replaces; or every row, the
  // type-keyed ones on a second thread, for the last batch, which nothing is decoded beside.
  // Each sort runs once per batch.
  void sort_primary();
  void sort_all();
  // Writes the staged rows, sorted, to `runs` as one more run, and clears the batch; with
  // `last`, the run stays in memory for the merge that follows.
  Status spill(SpilledRuns& runs, bool last = false);

 private:
  struct PrimaryRow {
    std::uint64_t id;
    std::size_t offset;  // of the encoded record in `encoded_records_`
    std::size_t length;
  };

  // Drops repeated rows too (the database is a set).
  void sort_referrers();
  // The type-keyed rows sort themselves, once: sorting them renumbers their names.
  void sort_type_keyed();
  void clear() noexcept;
  std::string_view record_of(const PrimaryRow& row) const noexcept {
    return std::string_view(encoded_records_).substr(row.offset, row.length);
  }
  Status put_primary(const Store& store, Transaction& txn);
  Status put_referrers(const Store& store, Transaction& txn);

  std::string encoded_records_;
  std::vector<PrimaryRow> primary_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> referrers_;  // (referenced id, referrer as big-endian number)
  TypeKeyedRows types_;
  TypeKeyedRows sizes_;
  bool primary_sorted_ = false;
  bool referrers_sorted_ = false;
  bool type_keyed_sorted_ = false;
};

}  // namespace vesker
