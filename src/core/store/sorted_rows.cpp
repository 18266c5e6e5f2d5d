#include "core/store/sorted_rows.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <span>
#include <tuple>

#include "core/common/byte_order.h"

namespace vesker {

Status DuplicatePutter::begin_key(std::string_view key, bool beyond_last_key) {
  VESKER_TRY(flush());
  key_.assign(key);
  beyond_last_key_ = beyond_last_key;
  first_piece_ = true;
  key_is_new_ = false;
  return {};
}

Status DuplicatePutter::add(std::string_view value) {
  added_.append(value);
  if (added_.size() == kValuesPerCall * value_size_) return flush();
  return {};
}

Status DuplicatePutter::flush() {
  VESKER_TRY(put_piece(added_));
  added_.clear();
  return {};
}

Status DuplicatePutter::put(std::string_view values) {
  VESKER_TRY(flush());
  // LMDB makes room for a call's pages before the call (by spilling dirty pages to the file) and
  // cannot spill during it: a call larger than one spill frees fails with MDB_TXN_FULL, so values
  // go in pieces of at most 1 MiB.
  const std::size_t piece_bytes = kValuesPerCall * value_size_;
  for (std::size_t offset = 0; offset < values.size(); offset += piece_bytes) {
    VESKER_TRY(put_piece(values.substr(offset, piece_bytes)));
  }
  return {};
}

Status DuplicatePutter::put_piece(std::string_view values) {
  const std::size_t count = values.size() / value_size_;
  if (count == 0) return {};
  // One call for a whole piece: LMDB positions the cursor once and then appends value after
  // value where it stands, instead of searching the tree from its root for each one.
  MDB_val piece[2] = {{value_size_, const_cast<char*>(values.data())}, {count, nullptr}};
  const unsigned multiple = count > 1 ? MDB_MULTIPLE : 0;
  if (!first_piece_) {
    if (key_is_new_) return cursor_->put(key_, piece, MDB_APPENDDUP | multiple);
  } else {
    first_piece_ = false;
    if (beyond_last_key_) {
      key_is_new_ = true;
      return cursor_->put(key_, piece, MDB_APPEND | MDB_APPENDDUP | multiple);
    }
    VESKER_ASSIGN_OR_RETURN(auto existing, cursor_->seek(MDB_SET, key_));
    if (!existing) {
      key_is_new_ = true;
      return cursor_->put(key_, piece, multiple);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    MDB_val data{value_size_, const_cast<char*>(values.data() + i * value_size_)};
    VESKER_TRY(cursor_->put(key_, &data, 0));
  }
  return {};
}

Status put_duplicate_run(Cursor& cursor, std::string_view key, std::string_view values, std::size_t value_size,
                         bool beyond_last_key) {
  DuplicatePutter putter(cursor, value_size);
  VESKER_TRY(putter.begin_key(key, beyond_last_key));
  return putter.put(values);
}

namespace {

// Sorts rows on (high, low) by a least-significant-digit radix sort over their sixteen bytes,
// skipping every byte that all rows share (the top bytes of ids and sizes, a zero `low`): a few
// passes that move rows, instead of some twenty comparisons a row.
void sort_by_values(std::span<TypeKeyedRows::Row> rows, std::vector<TypeKeyedRows::Row>& scratch) {
  using Row = TypeKeyedRows::Row;
  const auto byte_of = [](const Row& row, int digit) -> std::uint8_t {
    return static_cast<std::uint8_t>((digit < 8 ? row.low : row.high) >> (8 * (digit % 8)));
  };
  if (rows.size() < 256) {
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return std::tie(a.high, a.low) < std::tie(b.high, b.low); });
    return;
  }
  std::vector<std::array<std::size_t, 256>> counts(16);
  for (const Row& row : rows) {
    for (int digit = 0; digit < 16; ++digit) ++counts[digit][byte_of(row, digit)];
  }
  scratch.resize(std::max(scratch.size(), rows.size()));
  std::span<Row> from = rows;
  std::span<Row> to(scratch.data(), rows.size());
  for (int digit = 0; digit < 16; ++digit) {
    const std::array<std::size_t, 256>& count = counts[digit];
    if (std::find(count.begin(), count.end(), rows.size()) != count.end()) continue;
    std::array<std::size_t, 256> next;
    std::size_t start = 0;
    for (int value = 0; value < 256; ++value) {
      next[value] = start;
      start += count[value];
    }
    for (const Row& row : from) to[next[byte_of(row, digit)]++] = row;
    std::swap(from, to);
  }
  if (from.data() != rows.data()) std::copy(from.begin(), from.end(), rows.begin());
}

}  // namespace

std::uint32_t TypeKeyedRows::type_index(std::string_view name) {
  if (auto found = indexes_.find(name); found != indexes_.end()) return found->second;
  const auto index = static_cast<std::uint32_t>(names_.size());
  indexes_.emplace(names_.emplace_back(name), index);
  return index;
}

void TypeKeyedRows::sort() {
  // Keys compare byte-wise; rank the names once so that rows sort on numbers.
  by_rank_.resize(names_.size());
  std::iota(by_rank_.begin(), by_rank_.end(), 0u);
  std::sort(by_rank_.begin(), by_rank_.end(), [&](std::uint32_t a, std::uint32_t b) { return names_[a] < names_[b]; });
  std::vector<std::uint32_t> rank(names_.size());
  for (std::uint32_t r = 0; r < by_rank_.size(); ++r) rank[by_rank_[r]] = r;
  // Rows go to their key's stretch first, by a counting sort in place (few keys, many rows),
  // then each stretch sorts on its values alone: fewer and cheaper comparisons than one sort
  // of whole rows.
  std::vector<std::size_t> starts(names_.size() + 1, 0);
  for (Row& row : rows_) {
    row.type = rank[row.type];
    ++starts[row.type + 1];
  }
  for (std::size_t r = 0; r < names_.size(); ++r) starts[r + 1] += starts[r];
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::uint32_t r = 0; r < names_.size(); ++r) {
    while (next[r] < starts[r + 1]) {
      Row& row = rows_[next[r]];
      if (row.type == r) {
        ++next[r];
      } else {
        std::swap(row, rows_[next[row.type]++]);
      }
    }
  }
  for (std::uint32_t r = 0; r < names_.size(); ++r) {
    sort_by_values(std::span<Row>(rows_).subspan(starts[r], starts[r + 1] - starts[r]), scratch_);
  }
  const auto key = [](const Row& row) { return std::tie(row.type, row.high, row.low); };
  rows_.erase(std::unique(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) { return key(a) == key(b); }),
              rows_.end());
}

void append_value(std::string& values, const TypeKeyedRows::Row& row, std::size_t value_size) {
  char bytes[16];
  store_u64_be(bytes, row.high);
  store_u64_be(bytes + 8, row.low);
  values.append(bytes, value_size);
}

Status TypeKeyedRows::put_sorted(Transaction& txn, Database db, std::size_t value_size) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  const std::string last_key = last ? std::string(last->key) : std::string();
  std::string values;
  for (std::size_t begin = 0; begin < rows_.size();) {
    const std::uint32_t type = rows_[begin].type;
    values.clear();
    std::size_t end = begin;
    for (; end < rows_.size() && rows_[end].type == type; ++end) append_value(values, rows_[end], value_size);
    const std::string& name = name_of_rank(type);
    VESKER_TRY(put_duplicate_run(cursor, name, values, value_size, !last || name > last_key));
    begin = end;
  }
  rows_.clear();
  return {};
}

}  // namespace vesker
