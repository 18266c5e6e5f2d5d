#include "core/store/sorted_rows.h"

#include <algorithm>
#include <numeric>
#include <tuple>

#include "core/common/byte_order.h"

namespace vesker {

Status put_duplicate_run(Cursor& cursor, std::string_view key, std::string_view values, std::size_t value_size,
                         bool beyond_last_key) {
  const std::size_t count = values.size() / value_size;
  if (beyond_last_key) {
    MDB_val first{value_size, const_cast<char*>(values.data())};
    VESKER_TRY(cursor.put(key, &first, MDB_APPEND));
    for (std::size_t i = 1; i < count; ++i) {
      MDB_val data{value_size, const_cast<char*>(values.data() + i * value_size)};
      VESKER_TRY(cursor.put(key, &data, MDB_APPENDDUP));
    }
    return {};
  }
  VESKER_ASSIGN_OR_RETURN(auto existing, cursor.seek(MDB_SET, key));
  if (count > 1 && !existing) {
    MDB_val data[2] = {{value_size, const_cast<char*>(values.data())}, {count, nullptr}};
    return cursor.put(key, data, MDB_MULTIPLE);
  }
  for (std::size_t i = 0; i < count; ++i) {
    MDB_val data{value_size, const_cast<char*>(values.data() + i * value_size)};
    VESKER_TRY(cursor.put(key, &data, 0));
  }
  return {};
}

std::uint32_t TypeKeyedRows::type_index(std::string_view name) {
  if (auto found = indexes_.find(name); found != indexes_.end()) return found->second;
  const auto index = static_cast<std::uint32_t>(names_.size());
  indexes_.emplace(names_.emplace_back(name), index);
  return index;
}

Status TypeKeyedRows::put_all(Transaction& txn, Database db, std::size_t value_size) {
  // Keys compare byte-wise; rank the names once so that rows sort on numbers.
  std::vector<std::uint32_t> by_name(names_.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) { return names_[a] < names_[b]; });
  std::vector<std::uint32_t> rank(names_.size());
  for (std::uint32_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;
  for (Row& row : rows_) row.type = rank[row.type];
  const auto key = [](const Row& row) { return std::tie(row.type, row.high, row.low); };
  std::sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) { return key(a) < key(b); });
  rows_.erase(std::unique(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) { return key(a) == key(b); }),
              rows_.end());

  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  const std::string last_key = last ? std::string(last->key) : std::string();
  std::string values;
  for (std::size_t begin = 0; begin < rows_.size();) {
    const std::uint32_t type = rows_[begin].type;
    values.clear();
    std::size_t end = begin;
    for (; end < rows_.size() && rows_[end].type == type; ++end) {
      char bytes[16];
      store_u64_be(bytes, rows_[end].high);
      store_u64_be(bytes + 8, rows_[end].low);
      values.append(bytes, value_size);
    }
    const std::string& name = names_[by_name[type]];
    VESKER_TRY(put_duplicate_run(cursor, name, values, value_size, !last || name > last_key));
    begin = end;
  }
  rows_.clear();
  return {};
}

}  // namespace vesker
