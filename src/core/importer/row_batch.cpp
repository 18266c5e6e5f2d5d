#include "core/importer/row_batch.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <system_error>
#include <thread>

#include "core/codecs/index_values.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"
#include "core/importer/spilled_runs.h"

namespace vesker {

void RowBatch::add(const RawObjectRecord& record) {
  const std::size_t offset = encoded_records_.size();
  append_raw_object_record(encoded_records_, record);
  primary_.push_back({record.id, offset, encoded_records_.size() - offset});

  const std::uint64_t id_bytes = std::byteswap(record.id);  // the little-endian bytes, read big-endian
  for (std::uint64_t referenced : record.references) referrers_.emplace_back(referenced, id_bytes);

  types_.add(record.type, id_bytes);
  types_.add(Type::kAllTypesText, id_bytes);
  sizes_.add(record.type, ~record.size, record.id);
  sizes_.add(Type::kAllTypesText, ~record.size, record.id);
}

std::size_t RowBatch::staged_bytes() const noexcept {
  return encoded_records_.size() + primary_.size() * sizeof(PrimaryRow) +
         referrers_.size() * sizeof(referrers_[0]) + types_.staged_bytes() + sizes_.staged_bytes();
}

void RowBatch::sort_primary() {
  if (primary_sorted_) return;
  primary_sorted_ = true;
  // Among rows of one id the last one of the input, the one with the greatest offset, comes last
  // and is kept; sorting in place spares the buffer of a stable sort, fresh memory each batch.
  std::sort(primary_.begin(), primary_.end(), [](const PrimaryRow& a, const PrimaryRow& b) {
    return a.id != b.id ? a.id < b.id : a.offset < b.offset;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < primary_.size(); ++i) {
    if (i + 1 < primary_.size() && primary_[i + 1].id == primary_[i].id) continue;
    primary_[kept++] = primary_[i];
  }
  primary_.resize(kept);
}

void RowBatch::sort_referrers() {
  if (referrers_sorted_) return;
  referrers_sorted_ = true;
  std::sort(referrers_.begin(), referrers_.end());
  referrers_.erase(std::unique(referrers_.begin(), referrers_.end()), referrers_.end());
}

void RowBatch::clear() noexcept {
  encoded_records_.clear();
  primary_.clear();
  referrers_.clear();
  types_.clear_rows();
  sizes_.clear_rows();
  primary_sorted_ = false;
  referrers_sorted_ = false;
  type_keyed_sorted_ = false;
}

Status RowBatch::put_all(const Store& store, Transaction& txn) {
  sort_primary();
  sort_referrers();
  sort_type_keyed();
  VESKER_TRY(put_primary(store, txn));
  VESKER_TRY(put_referrers(store, txn));
  VESKER_TRY(types_.put_sorted(txn, store.types, 8));
  VESKER_TRY(sizes_.put_sorted(txn, store.types_size_index, SizeIndexEntry::kEncodedSize));
  clear();
  return {};
}

void RowBatch::sort_type_keyed() {
  if (type_keyed_sorted_) return;
  types_.sort();
  sizes_.sort();
  type_keyed_sorted_ = true;
}

void RowBatch::sort_all() {
  std::optional<std::jthread> second;
  try {
    second.emplace([this] { sort_type_keyed(); });
  } catch (const std::system_error&) {
    // No second thread to be had: this one sorts those rows too, below.
  }
  sort_primary();
  sort_referrers();
  if (second) second->join();
  sort_type_keyed();
}

Status RowBatch::spill(SpilledRuns& runs, bool last) {
  sort_primary();
  sort_referrers();
  sort_type_keyed();
  if (last) {
    runs.keep_in_memory(encoded_records_.size() + primary_.size() * (sizeof(std::uint64_t) + sizeof(std::uint32_t)),
                        referrers_.size() * 2 * sizeof(std::uint64_t));
  }
  for (const PrimaryRow& row : primary_) VESKER_TRY(runs.append_primary(row.id, record_of(row)));
  for (const auto& [referenced, referrer] : referrers_) VESKER_TRY(runs.append_referrer(referenced, referrer));
  VESKER_TRY(runs.end_run(types_, sizes_));
  clear();
  return {};
}

Status RowBatch::put_primary(const Store& store, Transaction& txn) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  // Keys beyond the database's last key can be appended without a search.
  const bool append = !primary_.empty() && (!last || load_u64_le(last->key.data()) < primary_.front().id);
  for (const PrimaryRow& row : primary_) {
    const IdBytes key(row.id);
    MDB_val value{row.length, encoded_records_.data() + row.offset};
    VESKER_TRY(cursor.put(key.view(), &value, append ? MDB_APPEND : 0));
  }
  return {};
}

Status RowBatch::put_referrers(const Store& store, Transaction& txn) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  // Keys beyond the database's last key (every key, for an empty one) are appended.
  const bool empty = !last;
  const std::uint64_t last_key = empty ? 0 : load_u64_le(last->key.data());
  std::string values;
  for (std::size_t begin = 0; begin < referrers_.size();) {
    const std::uint64_t referenced = referrers_[begin].first;
    values.clear();
    std::size_t end = begin;
    for (; end < referrers_.size() && referrers_[end].first == referenced; ++end) {
      char bytes[8];
      store_u64_be(bytes, referrers_[end].second);
      values.append(bytes, 8);
    }
    VESKER_TRY(put_duplicate_run(cursor, IdBytes(referenced).view(), values, 8, empty || referenced > last_key));
    begin = end;
  }
  return {};
}

}  // namespace vesker
