#include "core/importer/spilled_runs.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
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

Result<SpilledRuns> SpilledRuns::create(const std::string& directory, std::size_t memory_bytes) {
  // Shared out as the rows of a heap dump are: records, then the type-keyed rows, then referrers.
  const std::size_t twelfth = memory_bytes / 12;
  VESKER_ASSIGN_OR_RETURN(SpillFile primary, SpillFile::create(directory, 7 * twelfth));
  VESKER_ASSIGN_OR_RETURN(SpillFile referrers, SpillFile::create(directory, twelfth));
  VESKER_ASSIGN_OR_RETURN(SpillFile types, SpillFile::create(directory, 2 * twelfth));
  VESKER_ASSIGN_OR_RETURN(SpillFile sizes, SpillFile::create(directory, 2 * twelfth));
  return SpilledRuns(std::move(primary), std::move(referrers), std::move(types), std::move(sizes));
}

void SpilledRuns::keep_in_memory(std::size_t primary_bytes, std::size_t referrer_bytes) {
  primary_.keep_in_memory(primary_bytes);
  referrers_.keep_in_memory(referrer_bytes);
  types_.keep_in_memory(0);
  sizes_.keep_in_memory(0);
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

namespace {

// The databases, in the order their merged rows come.
enum Target : std::uint8_t { kPrimary, kReferrers, kTypes, kSizes };

// Chunks small enough that the putting thread gets its first one soon, and few enough in flight
// that the merge stays a few megabytes ahead at most.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kChunksInFlight = 8;
constexpr const char* kAbandoned = "the import's merge stopped: its rows are no longer taken";

// The merged rows of one database, appended and handed over a chunk at a time.
class ChunkWriter {
 public:
  ChunkWriter(RowChannel& channel, std::uint8_t target) : channel_(channel), target_(target) { start(); }

  template <class T>
  void append_raw(const T& value) {
    chunk_.rows.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void append(std::string_view bytes) { chunk_.rows.append(bytes); }
  // Hands the chunk over once it is full.
  Status row_done() { return chunk_.rows.size() >= kChunkBytes ? flush() : Status{}; }
  Status flush() {
    if (chunk_.rows.empty()) return {};
    if (!channel_.push(std::move(chunk_))) return fail_message(kAbandoned);
    start();
    return {};
  }

 private:
  void start() {
    chunk_ = RowChannel::Chunk{target_, {}};
    chunk_.rows.reserve(kChunkBytes + (kChunkBytes >> 4));
  }

  RowChannel& channel_;
  std::uint8_t target_;
  RowChannel::Chunk chunk_;
};

// On the writer thread: puts the merged rows, database after database, as they come.
class MergedRowPutter {
 public:
  MergedRowPutter(const Store& store, Transaction& txn, const std::vector<std::string>& type_names,
                  const std::vector<std::string>& size_names)
      : store_(store), txn_(txn), type_names_(type_names), size_names_(size_names) {}

  Status put(const RowChannel::Chunk& chunk) {
    if (!cursor_ || chunk.target != target_) VESKER_TRY(start(chunk.target));
    std::string_view rows = chunk.rows;
    switch (target_) {
      case kPrimary:
        while (!rows.empty()) {
          const auto id = load_raw<std::uint64_t>(rows.data());
          const auto length = load_raw<std::uint32_t>(rows.data() + sizeof id);
          const std::string_view record = rows.substr(sizeof id + sizeof length, length);
          const IdBytes key(id);
          MDB_val value{record.size(), const_cast<char*>(record.data())};
          // Keys beyond the database's last key are appended without a search.
          VESKER_TRY(cursor_->put(key.view(), &value, empty_ || id > last_id_ ? MDB_APPEND : 0));
          rows.remove_prefix(sizeof id + sizeof length + length);
        }
        return {};
      case kReferrers:
        for (; !rows.empty(); rows.remove_prefix(2 * sizeof(std::uint64_t))) {
          const auto referenced = load_raw<std::uint64_t>(rows.data());
          if (!started_ || referenced != current_) {
            started_ = true;
            current_ = referenced;
            VESKER_TRY(putter_->begin_key(IdBytes(current_).view(), empty_ || current_ > last_id_));
          }
          char bytes[8];
          store_u64_be(bytes, load_raw<std::uint64_t>(rows.data() + sizeof(std::uint64_t)));
          VESKER_TRY(putter_->add(std::string_view(bytes, 8)));
        }
        return {};
      default: {
        const std::vector<std::string>& names = target_ == kTypes ? type_names_ : size_names_;
        for (; !rows.empty(); rows.remove_prefix(kTypeKeyedRowBytes)) {
          TypeKeyedRows::Row row;
          row.type = load_raw<std::uint32_t>(rows.data());
          row.high = load_raw<std::uint64_t>(rows.data() + sizeof(std::uint32_t));
          row.low = load_raw<std::uint64_t>(rows.data() + sizeof(std::uint32_t) + sizeof(std::uint64_t));
          if (!started_ || row.type != current_) {
            started_ = true;
            current_ = row.type;
            const std::string& name = names[row.type];
            VESKER_TRY(putter_->begin_key(name, empty_ || name > last_key_));
          }
          value_.clear();
          append_value(value_, row, value_size_);
          VESKER_TRY(putter_->add(value_));
        }
        return {};
      }
    }
  }

  Status finish() { return putter_ ? putter_->finish() : Status{}; }

 private:
  Status start(std::uint8_t target) {
    VESKER_TRY(finish());
    putter_.reset();
    target_ = target;
    const Database db = target == kPrimary     ? store_.primary
                        : target == kReferrers ? store_.referrers
                        : target == kTypes     ? store_.types
                                               : store_.types_size_index;
    cursor_.reset();
    VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, db));
    cursor_.emplace(std::move(cursor));
    VESKER_ASSIGN_OR_RETURN(auto last, cursor_->move(MDB_LAST));
    empty_ = !last;
    last_id_ = !last || target >= kTypes ? 0 : load_u64_le(last->key.data());
    last_key_ = last ? std::string(last->key) : std::string();
    started_ = false;
    value_size_ = target == kSizes ? SizeIndexEntry::kEncodedSize : 8;
    if (target != kPrimary) putter_.emplace(*cursor_, value_size_);
    return {};
  }

  const Store& store_;
  Transaction& txn_;
  const std::vector<std::string>& type_names_;
  const std::vector<std::string>& size_names_;
  std::uint8_t target_ = kPrimary;
  std::optional<Cursor> cursor_;
  std::optional<DuplicatePutter> putter_;  // after `cursor_`, which it uses
  bool empty_ = true;
  std::uint64_t last_id_ = 0;
  std::string last_key_;
  bool started_ = false;
  std::uint64_t current_ = 0;
  std::size_t value_size_ = 8;
  std::string value_;
};

}  // namespace

Status SpilledRuns::put_all(const Store& store, Transaction& txn) {
  std::vector<std::vector<std::uint32_t>> type_ranks;
  std::vector<std::vector<std::uint32_t>> size_ranks;
  const std::vector<std::string> type_names = all_names(&Run::type_names, type_ranks);
  const std::vector<std::string> size_names = all_names(&Run::size_names, size_ranks);
  RowChannel channel(kChunksInFlight);
  std::jthread merging([&] {
    try {
      channel.close(merge_all(channel, type_ranks, size_ranks));
    } catch (...) {
      channel.close({}, std::current_exception());
    }
  });
  MergedRowPutter putter(store, txn, type_names, size_names);
  Status put;
  try {
    while (std::optional<RowChannel::Chunk> chunk = channel.pop()) {
      put = putter.put(*chunk);
      if (!put) break;
    }
    if (put) put = putter.finish();
  } catch (...) {
    channel.abandon();  // or the merge would wait for room forever, and this thread for it
    throw;
  }
  if (!put) {
    channel.abandon();  // the merge stops at its next chunk; its own failure is only the consequence
    merging.join();
    return put;
  }
  merging.join();
  return channel.outcome();
}

std::vector<std::string> SpilledRuns::all_names(std::vector<std::string> Run::*names,
                                                std::vector<std::vector<std::uint32_t>>& global_rank) const {
  // Each run ranks only the names it met; ranks in the union of all names make rows of
  // different runs comparable.
  std::vector<std::string> all;
  for (const Run& run : runs_) all.insert(all.end(), (run.*names).begin(), (run.*names).end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  global_rank.assign(runs_.size(), {});
  for (std::size_t run = 0; run < runs_.size(); ++run) {
    for (const std::string& name : runs_[run].*names) {
      const auto found = std::lower_bound(all.begin(), all.end(), name);
      global_rank[run].push_back(static_cast<std::uint32_t>(found - all.begin()));
    }
  }
  return all;
}

Status SpilledRuns::merge_all(RowChannel& channel, const std::vector<std::vector<std::uint32_t>>& type_ranks,
                              const std::vector<std::vector<std::uint32_t>>& size_ranks) {
  VESKER_TRY(merge_primary(channel));
  VESKER_TRY(merge_referrers(channel));
  VESKER_TRY(merge_type_keyed(channel, kTypes, types_, &Run::types_end, type_ranks));
  return merge_type_keyed(channel, kSizes, sizes_, &Run::sizes_end, size_ranks);
}

Status SpilledRuns::merge_primary(RowChannel& channel) {
  struct Head {
    std::uint64_t id = 0;
    std::string_view record;  // in its reader's buffer, until the run's next read
  };
  std::vector<SpillReader> readers = readers_of(primary_, runs_, &Run::primary_end);
  ChunkWriter out(channel, kPrimary);
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
    out.append_raw(head.id);
    out.append_raw(static_cast<std::uint32_t>(head.record.size()));
    out.append(head.record);
    return out.row_done();
  };
  VESKER_TRY(merge_runs<Head>(readers, read, less, emit));
  return out.flush();
}

Status SpilledRuns::merge_referrers(RowChannel& channel) {
  struct Head {
    std::uint64_t referenced = 0;
    std::uint64_t referrer = 0;  // big-endian number
  };
  std::vector<SpillReader> readers = readers_of(referrers_, runs_, &Run::referrers_end);
  ChunkWriter out(channel, kReferrers);
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
    out.append_raw(head.referenced);
    out.append_raw(head.referrer);
    return out.row_done();
  };
  VESKER_TRY(merge_runs<Head>(readers, read, less, emit));
  return out.flush();
}

Status SpilledRuns::merge_type_keyed(RowChannel& channel, std::uint8_t target, const SpillFile& file,
                                     std::uint64_t Run::*end,
                                     const std::vector<std::vector<std::uint32_t>>& global_rank) {
  std::vector<SpillReader> readers = readers_of(file, runs_, end);
  ChunkWriter out(channel, target);
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
    out.append_raw(head.type);
    out.append_raw(head.high);
    out.append_raw(head.low);
    return out.row_done();
  };
  VESKER_TRY(merge_runs<TypeKeyedRows::Row>(readers, read, less, emit));
  return out.flush();
}

}  // namespace vesker
