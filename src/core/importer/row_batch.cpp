#include "core/importer/row_batch.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <tuple>

#include "core/codecs/index_values.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

bool typed_row_less(const auto& a, const auto& b) {
  return std::tie(a.type, a.high, a.low) < std::tie(b.type, b.high, b.low);
}
bool typed_row_equal(const auto& a, const auto& b) {
  return std::tie(a.type, a.high, a.low) == std::tie(b.type, b.high, b.low);
}

// Puts a run of fixed-size duplicates of one key. A key that the database does not hold yet
// takes the whole run in one call; otherwise each value goes in on its own, which keeps LMDB's
// set semantics for values that are already there.
Status put_duplicate_run(Cursor& cursor, std::string_view key, std::string& values, std::size_t value_size) {
  const std::size_t count = values.size() / value_size;
  auto existing = cursor.seek(MDB_SET, key);
  if (!existing) return fail(std::move(existing).error());
  if (count > 1 && !*existing) {
    MDB_val data[2] = {{value_size, values.data()}, {count, nullptr}};
    return cursor.put(key, data, MDB_MULTIPLE);
  }
  for (std::size_t i = 0; i < count; ++i) {
    MDB_val data{value_size, values.data() + i * value_size};
    VESKER_TRY(cursor.put(key, &data, 0));
  }
  return {};
}

}  // namespace

RowBatch::RowBatch() : all_types_(type_index(Type::kAllTypesText)) {}

std::uint32_t RowBatch::type_index(std::string_view name) {
  if (auto found = type_indexes_.find(name); found != type_indexes_.end()) return found->second;
  const auto index = static_cast<std::uint32_t>(type_names_.size());
  type_indexes_.emplace(type_names_.emplace_back(name), index);
  return index;
}

void RowBatch::add(const RawObjectRecord& record) {
  const std::size_t offset = encoded_records_.size();
  append_raw_object_record(encoded_records_, record);
  primary_.push_back({record.id, offset, encoded_records_.size() - offset});

  const std::uint64_t id_bytes = std::byteswap(record.id);  // the little-endian bytes, read big-endian
  for (std::uint64_t referenced : record.references) referrers_.emplace_back(referenced, id_bytes);

  const std::uint32_t type = type_index(record.type);
  types_.push_back({type, id_bytes, 0});
  types_.push_back({all_types_, id_bytes, 0});
  sizes_.push_back({type, ~record.size, record.id});
  sizes_.push_back({all_types_, ~record.size, record.id});
}

std::size_t RowBatch::staged_bytes() const noexcept {
  return encoded_records_.size() + primary_.size() * sizeof(PrimaryRow) +
         referrers_.size() * sizeof(referrers_[0]) + (types_.size() + sizes_.size()) * sizeof(TypedRow);
}

Status RowBatch::put_all(const Store& store, Transaction& txn) {
  VESKER_TRY(put_primary(store, txn));
  VESKER_TRY(put_referrers(store, txn));
  VESKER_TRY(put_typed(txn, store.types, types_, 8));
  VESKER_TRY(put_typed(txn, store.types_size_index, sizes_, SizeIndexEntry::kEncodedSize));
  encoded_records_.clear();
  primary_.clear();
  return {};
}

Status RowBatch::put_primary(const Store& store, Transaction& txn) {
  // Stable, so that among rows of one id the last one of the input comes last and wins.
  std::stable_sort(primary_.begin(), primary_.end(), [](const PrimaryRow& a, const PrimaryRow& b) { return a.id < b.id; });
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  // Keys beyond the database's last key can be appended without a search.
  const bool append = !primary_.empty() && (!last || load_u64_le(last->key.data()) < primary_.front().id);
  for (std::size_t i = 0; i < primary_.size(); ++i) {
    const PrimaryRow& row = primary_[i];
    if (i + 1 < primary_.size() && primary_[i + 1].id == row.id) continue;
    const IdBytes key(row.id);
    MDB_val value{row.length, encoded_records_.data() + row.offset};
    VESKER_TRY(cursor.put(key.view(), &value, append ? MDB_APPEND : 0));
  }
  return {};
}

Status RowBatch::put_referrers(const Store& store, Transaction& txn) {
  std::sort(referrers_.begin(), referrers_.end());
  referrers_.erase(std::unique(referrers_.begin(), referrers_.end()), referrers_.end());
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
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
    VESKER_TRY(put_duplicate_run(cursor, IdBytes(referenced).view(), values, 8));
    begin = end;
  }
  referrers_.clear();
  return {};
}

Status RowBatch::put_typed(Transaction& txn, Database db, std::vector<TypedRow>& rows, std::size_t value_size) {
  // Type keys compare byte-wise; rank the names once so rows sort on a number.
  std::vector<std::uint32_t> by_name(type_names_.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(),
            [&](std::uint32_t a, std::uint32_t b) { return type_names_[a] < type_names_[b]; });
  std::vector<std::uint32_t> rank(type_names_.size());
  for (std::uint32_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;
  for (TypedRow& row : rows) row.type = rank[row.type];
  std::sort(rows.begin(), rows.end(), [](const TypedRow& a, const TypedRow& b) { return typed_row_less(a, b); });
  rows.erase(std::unique(rows.begin(), rows.end(), [](const TypedRow& a, const TypedRow& b) { return typed_row_equal(a, b); }),
             rows.end());

  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  std::string values;
  for (std::size_t begin = 0; begin < rows.size();) {
    const std::uint32_t type = rows[begin].type;
    values.clear();
    std::size_t end = begin;
    for (; end < rows.size() && rows[end].type == type; ++end) {
      char bytes[16];
      store_u64_be(bytes, rows[end].high);
      store_u64_be(bytes + 8, rows[end].low);
      values.append(bytes, value_size);
    }
    VESKER_TRY(put_duplicate_run(cursor, type_names_[by_name[type]], values, value_size));
    begin = end;
  }
  rows.clear();
  return {};
}

}  // namespace vesker
