// Retained sizes computed over a whole store and kept in the analyses' databases, with a
// fingerprint of the store they were computed from, so that a later import shows them stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/error.h"
#include "core/dominators/heap_graph.h"
#include "core/store/analysis_store.h"

namespace vesker::dominators {

// Bits of the flags byte stored per object.
enum StoredFlags : std::uint8_t {
  kStoredRootEdge = 1,    // the virtual root refers to it
  kStoredUnreachable = 2, // reached only through an unreferenced cycle
  kStoredByRoot = 4,      // its immediate dominator is the virtual root
};

// The key of the root's children in the dominator_children database; object keys are 8-byte
// big-endian ids, which sort after it.
inline constexpr std::string_view kRootChildrenKey{"\0", 1};

struct RetainedRun {
  std::uint64_t objects = 0;
  std::uint64_t edges = 0;
  std::uint64_t unreachable = 0;
  std::uint64_t total_size = 0;
  std::uint64_t graph_bytes = 0;   // the compact graph's arrays
  double read_seconds = 0;         // reading the graph from the snapshot
  double dominator_seconds = 0;    // the dominator tree and the retained sizes
  double write_seconds = 0;        // storing everything, committed
};

enum class RetainedState { missing, fresh, stale };

// A digest of what the explorer's databases hold: their entry counts and the type summaries,
// which every import rebuilds.
Result<std::string> store_fingerprint(const Transaction& txn, const Store& store);

Result<RetainedState> retained_state(const Transaction& txn, const AnalysisStore& store);

// Bytes of keys and values each write transaction of the results puts before it commits: some
// tens of megabytes of dirtied pages, against the hundreds the results of ten million objects take.
inline constexpr std::size_t kRetainedBytesPerTransaction = std::size_t{24} << 20;

// Reads the graph from one snapshot, computes the dominator tree and writes the results, the
// per-type totals and, last, the metadata entry "retained", in write transactions of about
// `bytes_per_transaction` each; the first drops the entry, so that the sizes stay missing until
// all are written. `progress` gets work units: one per object read, three per object of the
// dominator phase, one per object written.
Result<RetainedRun> compute_retained_sizes(const AnalysisStore& store, Progress& progress,
                                           std::size_t bytes_per_transaction = kRetainedBytesPerTransaction);

}  // namespace vesker::dominators
