#include "core/importer/spilled_runs.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

// What the readers of one merge may buffer together, and the bounds for each reader.
constexpr std::size_t kMergeBufferBytes = std::size_t{16} << 20;
constexpr std::size_t kMinReaderBytes = std::size_t{64} << 10;
constexpr std::size_t kMaxReaderBytes = std::size_t{4} << 20;

template <class T>
void append_raw(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <class T>
T load_raw(const char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

constexpr std::size_t kTypeKeyedRowBytes = sizeof(std::uint32_t) + 2 * sizeof(std::uint64_t);

// One reader per run over the byte ranges that `end` gives for each run of `file`.
template <class Run>
std::vector<SpillReader> readers_of(const SpillFile& file, const std::vector<Run>& runs, std::uint64_t Run::*end) {
  const std::size_t each =
      std::clamp(kMergeBufferBytes / std::max<std::size_t>(runs.size(), 1), kMinReaderBytes, kMaxReaderBytes);
  std::vector<SpillReader> readers;
  readers.reserve(runs.size());
  std::uint64_t begin = 0;
  for (const Run& run : runs) {
    readers.emplace_back(file, begin, run.*end, each);
    begin = run.*end;
  }
  return readers;
}

// The k-way merge of sorted runs. `read(run, head)` reads the next row of a run; rows come out
// in `less` order, equal rows in run order. `emit(head, next)` gets each row with the row that
// comes out after it (nullptr for the last), which tells a row that a later run repeats or
// replaces it.
template <class Head, class Read, class Less, class Emit>
Status merge_runs(std::vector<SpillReader>& readers, Read read, Less less, Emit emit) {
  std::vector<Head> heads(readers.size());
  std::vector<std::uint32_t> heap;
  // The heap keeps its greatest element in front: "greater" here is "comes out later".
  const auto later = [&](std::uint32_t a, std::uint32_t b) {
    if (less(heads[b], heads[a])) return true;
    if (less(heads[a], heads[b])) return false;
    return a > b;
  };
  for (std::uint32_t run = 0; run < readers.size(); ++run) {
    if (readers[run].exhausted()) continue;
    VESKER_TRY(read(run, heads[run]));
    heap.push_back(run);
  }
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const std::uint32_t run = heap.back();
    heap.pop_back();
    VESKER_TRY(emit(heads[run], heap.empty() ? nullptr : &heads[heap.front()]));
    if (readers[run].exhausted()) continue;
    VESKER_TRY(read(run, heads[run]));
    heap.push_back(run);
    std::push_heap(heap.begin(), heap.end(), later);
  }
  return {};
}

}  // namespace

Result<SpilledRuns> SpilledRuns::create(const std::string& directory) {
  VESKER_ASSIGN_OR_RETURN(SpillFile primary, SpillFile::create(directory));
  VESKER_ASSIGN_OR_RETURN(SpillFile referrers, SpillFile::create(directory));
  VESKER_ASSIGN_OR_RETURN(SpillFile types, SpillFile::create(directory));
  VESKER_ASSIGN_OR_RETURN(SpillFile sizes, SpillFile::create(directory));
  return SpilledRuns(std::move(primary), std::move(referrers), std::move(types), std::move(sizes));
}

Status SpilledRuns::append_primary(std::uint64_t id, std::string_view record) {
  char head[sizeof id + sizeof(std::uint32_t)];
  const auto length = static_cast<std::uint32_t>(record.size());
  std::memcpy(head, &id, sizeof id);
  std::memcpy(head + sizeof id, &length, sizeof length);
  VESKER_TRY(primary_.append(std::string_view(head, sizeof head)));
  return primary_.append(record);
}

Status SpilledRuns::append_referrer(std::uint64_t referenced, std::uint64_t referrer_big_endian) {
  char row[2 * sizeof(std::uint64_t)];
  std::memcpy(row, &referenced, sizeof referenced);
  std::memcpy(row + sizeof referenced, &referrer_big_endian, sizeof referrer_big_endian);
  return referrers_.append(std::string_view(row, sizeof row));
}

Status SpilledRuns::end_run(const TypeKeyedRows& types, const TypeKeyedRows& sizes) {
  Run run;
  const auto write = [](SpillFile& file, const TypeKeyedRows& rows, std::vector<std::string>& names) -> Status {
    std::string bytes;
    bytes.reserve(rows.rows().size() * kTypeKeyedRowBytes);
    for (const TypeKeyedRows::Row& row : rows.rows()) {
      append_raw(bytes, row.type);
      append_raw(bytes, row.high);
      append_raw(bytes, row.low);
    }
    VESKER_TRY(file.append(bytes));
    names.reserve(rows.name_count());
    for (std::uint32_t rank = 0; rank < rows.name_count(); ++rank) names.push_back(rows.name_of_rank(rank));
    return {};
  };
  VESKER_TRY(write(types_, types, run.type_names));
  VESKER_TRY(write(sizes_, sizes, run.size_names));
  run.primary_end = primary_.size();
  run.referrers_end = referrers_.size();
  run.types_end = types_.size();
  run.sizes_end = sizes_.size();
  runs_.push_back(std::move(run));
  return {};
}

Status SpilledRuns::put_all(const Store& store, Transaction& txn) {
  for (SpillFile* file : {&primary_, &referrers_, &types_, &sizes_}) VESKER_TRY(file->flush());
  VESKER_TRY(put_primary(store, txn));
  VESKER_TRY(put_referrers(store, txn));
  VESKER_TRY(put_type_keyed(txn, store.types, types_, &Run::types_end, &Run::type_names, 8));
  return put_type_keyed(txn, store.types_size_index, sizes_, &Run::sizes_end, &Run::size_names,
                        SizeIndexEntry::kEncodedSize);
}

Status SpilledRuns::put_primary(const Store& store, Transaction& txn) {
  struct Head {
    std::uint64_t id = 0;
    std::string_view record;  // in its reader's buffer, until the run's next read
  };
  std::vector<SpillReader> readers = readers_of(primary_, runs_, &Run::primary_end);
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  const bool empty = !last;
  const std::uint64_t last_id = empty ? 0 : load_u64_le(last->key.data());
  const auto read = [&](std::uint32_t run, Head& head) -> Status {
    VESKER_ASSIGN_OR_RETURN(std::string_view fixed, readers[run].take(sizeof(std::uint64_t) + sizeof(std::uint32_t)));
    head.id = load_raw<std::uint64_t>(fixed.data());
    const auto length = load_raw<std::uint32_t>(fixed.data() + sizeof(std::uint64_t));
    VESKER_ASSIGN_OR_RETURN(head.record, readers[run].take(length));
    return {};
  };
  const auto less = [](const Head& a, const Head& b) { return a.id < b.id; };
  const auto emit = [&](const Head& head, const Head* next) -> Status {
    if (next != nullptr && next->id == head.id) return {};  // a later record of the id wins
    const IdBytes key(head.id);
    MDB_val value{head.record.size(), const_cast<char*>(head.record.data())};
    // Keys beyond the database's last key are appended without a search.
    return cursor.put(key.view(), &value, empty || head.id > last_id ? MDB_APPEND : 0);
  };
  return merge_runs<Head>(readers, read, less, emit);
}

Status SpilledRuns::put_referrers(const Store& store, Transaction& txn) {
  struct Head {
    std::uint64_t referenced = 0;
    std::uint64_t referrer = 0;  // big-endian number
  };
  std::vector<SpillReader> readers = readers_of(referrers_, runs_, &Run::referrers_end);
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  const bool empty = !last;
  const std::uint64_t last_key = empty ? 0 : load_u64_le(last->key.data());
  DuplicatePutter putter(cursor, 8);
  bool started = false;
  std::uint64_t current = 0;
  const auto read = [&](std::uint32_t run, Head& head) -> Status {
    VESKER_ASSIGN_OR_RETURN(std::string_view row, readers[run].take(2 * sizeof(std::uint64_t)));
    head.referenced = load_raw<std::uint64_t>(row.data());
    head.referrer = load_raw<std::uint64_t>(row.data() + sizeof(std::uint64_t));
    return {};
  };
  const auto less = [](const Head& a, const Head& b) {
    return std::tie(a.referenced, a.referrer) < std::tie(b.referenced, b.referrer);
  };
  const auto emit = [&](const Head& head, const Head* next) -> Status {
    if (next != nullptr && next->referenced == head.referenced && next->referrer == head.referrer) return {};
    if (!started || head.referenced != current) {
      started = true;
      current = head.referenced;
      VESKER_TRY(putter.begin_key(IdBytes(current).view(), empty || current > last_key));
    }
    char bytes[8];
    store_u64_be(bytes, head.referrer);
    return putter.add(std::string_view(bytes, 8));
  };
  VESKER_TRY(merge_runs<Head>(readers, read, less, emit));
  return putter.finish();
}

Status SpilledRuns::put_type_keyed(Transaction& txn, Database db, const SpillFile& file, std::uint64_t Run::*end,
                                   std::vector<std::string> Run::*names, std::size_t value_size) {
  // Each run ranks only the names it met; ranks in the union of all names make rows of
  // different runs comparable.
  std::vector<std::string> all_names;
  for (const Run& run : runs_) all_names.insert(all_names.end(), (run.*names).begin(), (run.*names).end());
  std::sort(all_names.begin(), all_names.end());
  all_names.erase(std::unique(all_names.begin(), all_names.end()), all_names.end());
  std::vector<std::vector<std::uint32_t>> global_rank(runs_.size());
  for (std::size_t run = 0; run < runs_.size(); ++run) {
    for (const std::string& name : runs_[run].*names) {
      const auto found = std::lower_bound(all_names.begin(), all_names.end(), name);
      global_rank[run].push_back(static_cast<std::uint32_t>(found - all_names.begin()));
    }
  }

  std::vector<SpillReader> readers = readers_of(file, runs_, end);
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor.move(MDB_LAST));
  const std::string last_key = last ? std::string(last->key) : std::string();
  DuplicatePutter putter(cursor, value_size);
  std::string value;
  bool started = false;
  std::uint32_t current = 0;
  const auto read = [&](std::uint32_t run, TypeKeyedRows::Row& head) -> Status {
    VESKER_ASSIGN_OR_RETURN(std::string_view row, readers[run].take(kTypeKeyedRowBytes));
    head.type = global_rank[run][load_raw<std::uint32_t>(row.data())];
    head.high = load_raw<std::uint64_t>(row.data() + sizeof(std::uint32_t));
    head.low = load_raw<std::uint64_t>(row.data() + sizeof(std::uint32_t) + sizeof(std::uint64_t));
    return {};
  };
  const auto key = [](const TypeKeyedRows::Row& row) { return std::tie(row.type, row.high, row.low); };
  const auto less = [&](const TypeKeyedRows::Row& a, const TypeKeyedRows::Row& b) { return key(a) < key(b); };
  const auto emit = [&](const TypeKeyedRows::Row& head, const TypeKeyedRows::Row* next) -> Status {
    if (next != nullptr && key(*next) == key(head)) return {};
    if (!started || head.type != current) {
      started = true;
      current = head.type;
      const std::string& name = all_names[current];
      VESKER_TRY(putter.begin_key(name, !last || name > last_key));
    }
    value.clear();
    append_value(value, head, value_size);
    return putter.add(value);
  };
  VESKER_TRY(merge_runs<TypeKeyedRows::Row>(readers, read, less, emit));
  return putter.finish();
}

}  // namespace vesker
