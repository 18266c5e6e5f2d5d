// The step that turns an imported store into a queryable one: type summaries and subtree sizes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/size_sketch.h"
#include "core/analysis/summed_radix_tree.h"
#include "core/analysis/tarjan.h"
#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"
#include "core/common/cancellation.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/explorer/scc_visitor.h"
#include "core/store/lmdb_error.h"
#include "core/store/sorted_rows.h"

namespace vesker {
namespace {

// One TypeSummary per key of types_size_index: the number of its entries and the sum of their sizes.
Status write_type_summaries(const Store& store, Transaction& writes, CancellationCheck& cancellation) {
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

// Rewrites every record of `primary` with its subtree size and indexes it under its type and
// under the all-types key. Every record of the snapshot was emitted exactly once, so the sorted
// sizes and the records pair up one to one in key order, and the rewrites go in sequentially.
Status store_subtree_sizes(const Store& store, const Transaction& snapshot, Transaction& writes,
                           std::vector<std::pair<std::uint64_t, std::uint64_t>>& subtree_sizes,
                           CancellationCheck& cancellation) {
  std::sort(subtree_sizes.begin(), subtree_sizes.end());
  VESKER_ASSIGN_OR_RETURN(Cursor records, Cursor::open(snapshot, store.primary));
  VESKER_ASSIGN_OR_RETURN(Cursor rewrites, Cursor::open(writes, store.primary));
  TypeKeyedRows index;
  std::string encoded;
  std::size_t next = 0;
  VESKER_ASSIGN_OR_RETURN(auto entry, records.move(MDB_FIRST));
  for (; entry; ++next) {
    VESKER_TRY(cancellation.poll());
    const std::uint64_t id = load_u64_le(entry->key.data());
    if (next == subtree_sizes.size() || subtree_sizes[next].first != id) internal_error(kMissingMapEntry);
    const std::uint64_t subtree_size = subtree_sizes[next].second;
    auto record = decode_raw_object_record(entry->value);
    if (!record) return fail(Error::decoding(record.error()));
    record->subtree_size = subtree_size;
    encoded.clear();
    append_raw_object_record(encoded, *record);
    MDB_val value{encoded.size(), encoded.data()};
    VESKER_TRY(rewrites.put(entry->key, &value, 0));
    index.add(record->type, ~subtree_size, id);
    index.add(Type::kAllTypesText, ~subtree_size, id);
    VESKER_ASSIGN_OR_RETURN(entry, records.move(MDB_NEXT));
  }
  if (next != subtree_sizes.size()) internal_error(kMissingMapEntry);
  return index.put_all(writes, store.types_subtree_size_index, SizeIndexEntry::kEncodedSize);
}

template <analysis::SizeEstimator E>
Status write_subtree_sizes(const Store& store, Transaction& writes, CancellationCheck& cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction snapshot, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor nodes, Cursor::open(snapshot, store.primary));
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(snapshot.handle(), snapshot.checked(store.primary), &stat)));
  StronglyConnectedComponentsVisitor<E> visitor(store, snapshot, std::move(nodes), stat.ms_entries,
                                              cancellation);
  VESKER_TRY(analysis::visit_sccs(visitor));
  return store_subtree_sizes(store, snapshot, writes, visitor.subtree_sizes(), cancellation);
}

}  // namespace

Status HeapDumpExplorer::run_post_import_processing(EstimatorPrecision precision,
                                                    CancellationCheck cancellation) const {
  VESKER_ASSIGN_OR_RETURN(Transaction writes, store_.begin_write());
  VESKER_TRY(write_type_summaries(store_, writes, cancellation));
  switch (precision) {
    case EstimatorPrecision::no_estimates:
      break;
    case EstimatorPrecision::low:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<7>>(store_, writes, cancellation));
      break;
    case EstimatorPrecision::medium:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<31>>(store_, writes, cancellation));
      break;
    case EstimatorPrecision::high:
      VESKER_TRY(write_subtree_sizes<analysis::SizeSketch<127>>(store_, writes, cancellation));
      break;
    case EstimatorPrecision::exact:
      VESKER_TRY(write_subtree_sizes<analysis::ExactSizeEstimator>(store_, writes, cancellation));
      break;
    default:
      internal_error("unknown estimator precision");
  }
  VESKER_TRY(store_.environment->check_data_file_linked());
  return writes.commit();
}

}  // namespace vesker
