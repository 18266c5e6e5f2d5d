// Leak suspects: the few objects, or groups of one type under one object, that hold most of the
// heap, found on the stored dominator tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/store/analysis_store.h"

namespace vesker::suspects {

struct SuspectOptions {
  // A suspect holds at least this share of the heap.
  double threshold = 0.10;
  // The walk down the dominator tree goes on while the largest child keeps at least this share
  // of its parent: below that, the memory is spread over many children and the parent is where
  // it accumulates.
  double big_drop_ratio = 0.7;
};

// The largest run of one type among what an object alone keeps alive.
struct HeldGroup {
  std::string type;
  std::uint64_t count = 0;
  std::uint64_t retained = 0;
  std::uint64_t sample = 0;  // one of them, the largest
};

struct Suspect {
  // The accumulation point; for a group of the root's own children, the largest of them.
  std::uint64_t id = 0;
  std::uint64_t retained = 0;
  // A group of top-level objects of one type that no object holds alone (count > 1), or the
  // object itself (count 1).
  std::uint64_t count = 1;
  // From the top-level dominator the walk started at down to the accumulation point.
  std::vector<std::uint64_t> descent;
  std::optional<HeldGroup> held;
  // A shortest path from an object the root refers to, down to `id`, and the names of its
  // references (the first entry is always empty).
  std::vector<std::uint64_t> path;
  std::vector<std::optional<std::string>> names;
  // The path as types and reference names with indices and digits masked, and its hash: the
  // same in every dump of the same program.
  std::string signature_text;
  std::string signature;
};

struct SuspectReport {
  std::uint64_t heap = 0;  // what the roots retain together: the reachable heap
  std::vector<Suspect> suspects;  // largest first
};

// Needs fresh retained sizes.
Result<SuspectReport> find_suspects(const Transaction& txn, const AnalysisStore& store, const SuspectOptions& options,
                                    Progress cancellation = {});

}  // namespace vesker::suspects
