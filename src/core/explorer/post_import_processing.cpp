// The step that turns an imported store into a queryable one: type summaries and subtree sizes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/analysis/size_sketch.h"
#include "core/analysis/summed_radix_tree.h"
#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"
#include "core/common/progress.h"
#include "core/dominators/heap_graph.h"
#include "core/dominators/size_index.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/explorer/scc_visitor.h"
#include "core/importer/row_channel.h"
#include "core/store/lmdb_error.h"
#include "core/store/sorted_rows.h"

namespace vesker {
namespace {

// One TypeSummary per key of types_size_index: the number of its entries and the sum of their sizes.
Status write_type_summaries(const Store& store, Transaction& writes, Progress& cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction snapshot, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(snapshot, store.types_size_index));
  // The index is DUPFIXED: each key's entries come a page at a time instead of one by one.
  VESKER_ASSIGN_OR_RETURN(auto first, cursor.move(MDB_FIRST));
  for (auto key_entry = first; key_entry; ) {
    VESKER_ASSIGN_OR_RETURN(const Type type, decode_type(key_entry->key));
    const std::size_t entry_size = key_entry->value.size();
    if (entry_size != SizeIndexEntry::kEncodedSize) {
      VESKER_TRY(SizeIndexEntry::decode(key_entry->value));  // fails with the decoder's message
    }
    TypeSummary summary;
    const auto add_entries = [&](std::string_view entries) -> Status {
      VESKER_TRY(cancellation.poll());
      for (std::size_t offset = 0; offset < entries.size(); offset += SizeIndexEntry::kEncodedSize) {
        VESKER_ASSIGN_OR_RETURN(const SizeIndexEntry entry,
                                SizeIndexEntry::decode(entries.substr(offset, SizeIndexEntry::kEncodedSize)));
        ++summary.count;
        summary.total_size += entry.size;
      }
      return {};
    };
    VESKER_ASSIGN_OR_RETURN(const std::size_t count, cursor.duplicate_count());
    if (count == 1) {
      // LMDB keeps a key's only duplicate inline, where the page-wise reads do not see it.
      VESKER_TRY(add_entries(key_entry->value));
    } else {
      VESKER_ASSIGN_OR_RETURN(auto page, cursor.move(MDB_GET_MULTIPLE));
      while (page) {
        VESKER_TRY(add_entries(page->value));
        VESKER_ASSIGN_OR_RETURN(page, cursor.move(MDB_NEXT_MULTIPLE));
      }
    }
    VESKER_TRY(writes.put(store.type_summaries, type.bytes(), summary.encode().view()));
    VESKER_ASSIGN_OR_RETURN(key_entry, cursor.move(MDB_NEXT_NODUP));
  }
  return {};
}

// Chunks of re-encoded records between the two threads of the rewriting, and how many may wait.
constexpr std::size_t kRewriteChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kRewriteChunksInFlight = 8;
constexpr const char* kRewritesAbandoned = "the re-encoding of records stopped: they are no longer taken";

// On a thread of its own: decodes every record of the snapshot, sets its subtree size and hands
// it on re-encoded, as rows [id: 8 bytes, the key][length: 4 bytes][record].
Status encode_rewrites(const Store& store, const Transaction& snapshot, const dominators::HeapGraph& graph,
                       const std::vector<std::uint64_t>& subtree_sizes, RowChannel& channel) {
  VESKER_ASSIGN_OR_RETURN(Cursor records, Cursor::open(snapshot, store.primary));
  RowChannel::Chunk chunk;
  const auto hand_on = [&]() -> Status {
    if (!channel.push(std::move(chunk))) return fail_message(kRewritesAbandoned);
    chunk = {};
    chunk.rows.reserve(kRewriteChunkBytes + (kRewriteChunkBytes >> 3));
    return {};
  };
  chunk.rows.reserve(kRewriteChunkBytes + (kRewriteChunkBytes >> 3));
  dominators::Vertex vertex = 1;
  VESKER_ASSIGN_OR_RETURN(auto entry, records.move(MDB_FIRST));
  for (; entry; ++vertex) {
    if (vertex == graph.vertex_count() || graph.ids[vertex] != load_u64_le(entry->key.data())) {
      internal_error(kMissingMapEntry);
    }
    auto record = decode_raw_object_record(entry->value);
    if (!record) return fail(Error::decoding(record.error()));
    record->subtree_size = subtree_sizes[vertex];
    const std::size_t head = chunk.rows.size();
    chunk.rows.append(entry->key);
    chunk.rows.append(sizeof(std::uint32_t), '\0');
    append_raw_object_record(chunk.rows, *record);
    const auto length = static_cast<std::uint32_t>(chunk.rows.size() - head - 8 - sizeof(std::uint32_t));
    std::memcpy(chunk.rows.data() + head + 8, &length, sizeof length);
    if (chunk.rows.size() >= kRewriteChunkBytes) VESKER_TRY(hand_on());
    VESKER_ASSIGN_OR_RETURN(entry, records.move(MDB_NEXT));
  }
  if (vertex != graph.vertex_count()) internal_error(kMissingMapEntry);
  return chunk.rows.empty() ? Status{} : hand_on();
}

// Rewrites every record of `primary` with its subtree size and indexes it under its type and
// under the all-types key. Vertex k is the k-th record of the snapshot in key order, so the
// rewrites go in sequentially. The records are decoded and re-encoded on a second thread while
// this one puts them, and the index rows are ordered on a third meanwhile.
Status store_subtree_sizes(const Store& store, const Transaction& snapshot, Transaction& writes,
                           const dominators::HeapGraph& graph, const std::vector<std::uint64_t>& subtree_sizes,
                           Progress& cancellation, PhaseLog* log) {
  PhaseLog::Timer rewriting(log, "subtree sizes/rewriting records");
  dominators::SizeIndexOrder order;
  RowChannel channel(kRewriteChunksInFlight);
  // Both joined on every way out, so neither outlives what it reads.
  std::jthread ordering([&] { order = dominators::size_index_order(graph, subtree_sizes); });
  std::jthread encoding([&] {
    try {
      channel.close(encode_rewrites(store, snapshot, graph, subtree_sizes, channel));
    } catch (...) {
      channel.close({}, std::current_exception());
    }
  });
  const auto put_rewrites = [&]() -> Status {
    // The writes hold the snapshot's records (this transaction began first, and holds the writer
    // lock), and every one of them comes, in key order: the cursor steps to each and replaces it
    // where it stands, which LMDB does as a put of the key would, without searching the tree.
    VESKER_ASSIGN_OR_RETURN(Cursor rewrites, Cursor::open(writes, store.primary));
    MDB_cursor_op step = MDB_FIRST;
    while (std::optional<RowChannel::Chunk> chunk = channel.pop()) {
      for (std::string_view rows = chunk->rows; !rows.empty();) {
        VESKER_TRY(cancellation.poll());
        std::uint32_t length;
        std::memcpy(&length, rows.data() + 8, sizeof length);
        MDB_val value{length, const_cast<char*>(rows.data() + 8 + sizeof length)};
        VESKER_ASSIGN_OR_RETURN(const std::optional<Entry> current, rewrites.move(step));
        if (!current || current->key != rows.substr(0, 8)) internal_error(kMissingMapEntry);
        VESKER_TRY(rewrites.put(rows.substr(0, 8), &value, MDB_CURRENT));
        step = MDB_NEXT;
        rows.remove_prefix(8 + sizeof length + length);
      }
    }
    return {};
  };
  Status put;
  try {
    put = put_rewrites();
  } catch (...) {
    channel.abandon();  // or the encoding would wait for room forever, and this thread for it
    throw;
  }
  if (!put) {
    channel.abandon();  // the encoding stops at its next chunk; its own failure is only the consequence
    return put;
  }
  encoding.join();
  VESKER_TRY(channel.outcome());
  ordering.join();
  rewriting.stop();
  PhaseLog::Timer indexing(log, "subtree sizes/putting the size index");
  dominators::SuccessiveWrites one_transaction(writes);
  return dominators::put_size_index(one_transaction, store.types_subtree_size_index, graph, subtree_sizes, order,
                                    [&] { return cancellation.poll(); });
}

// Sets `dangling_references` from the graph it reads, which saves the import's facts a pass of
// their own over every record.
template <analysis::SizeEstimator E>
Status write_subtree_sizes(const Store& store, Transaction& writes, Progress& cancellation, PhaseLog* log,
                           std::optional<std::uint64_t>& dangling_references) {
  PhaseLog::Timer reading(log, "subtree sizes/reading the graph");
  VESKER_ASSIGN_OR_RETURN(Transaction snapshot, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(
      dominators::HeapGraph graph,
      dominators::read_heap_graph(store, snapshot, cancellation,
                                  dominators::HeapGraphShape{.references_into_modules = false, .predecessors = false}));
  reading.stop();
  dangling_references = graph.dangling_references;
  std::vector<std::uint64_t> subtree_sizes;
  {
    PhaseLog::Timer computing(log, "subtree sizes/components and sizes");
    SubtreeSizeVisitor<E> visitor(graph, subtree_sizes, cancellation);
    VESKER_TRY(analysis::visit_sccs(
        analysis::SuccessorLists{.offsets = graph.successor_offsets, .targets = graph.successors}, visitor));
  }
  // Only ids, types and the sizes found are read from here on.
  std::vector<std::uint64_t>().swap(graph.sizes);
  std::vector<std::uint64_t>().swap(graph.successor_offsets);
  std::vector<dominators::Vertex>().swap(graph.successors);
  return store_subtree_sizes(store, snapshot, writes, graph, subtree_sizes, cancellation, log);
}

}  // namespace

Status HeapDumpExplorer::run_post_import_processing(EstimatorPrecision precision, Progress cancellation,
                                                    PhaseLog* log) const {
  VESKER_ASSIGN_OR_RETURN(Transaction writes, store_.begin_write());
  {
    PhaseLog::Timer summing(log, "subtree sizes/type summaries");
    VESKER_TRY(write_type_summaries(store_, writes, cancellation));
  }
  // Known once the graph was read, which every precision but none does.
  std::optional<std::uint64_t> dangling;
  switch (precision) {
    case EstimatorPrecision::no_estimates:
      break;
    case EstimatorPrecision::low:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<7>>(store_, writes, cancellation, log, dangling));
      break;
    case EstimatorPrecision::medium:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<31>>(store_, writes, cancellation, log, dangling));
      break;
    case EstimatorPrecision::high:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<127>>(store_, writes, cancellation, log, dangling));
      break;
    case EstimatorPrecision::exact:
      VESKER_TRY(write_subtree_sizes<analysis::ExactSizeEstimator>(store_, writes, cancellation, log, dangling));
      break;
    default:
      internal_error("unknown estimator precision");
  }
  PhaseLog::Timer committing(log, "subtree sizes/committing");
  if (Environment::ImportFacts write_facts = store_.environment->take_import_facts()) {
    VESKER_TRY(write_facts(writes, dangling));
  }
  VESKER_TRY(store_.environment->check_data_file_linked());
  return writes.commit();
}

}  // namespace vesker
