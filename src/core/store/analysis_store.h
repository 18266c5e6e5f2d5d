// The store as the analyses see it: the explorer's six databases, and beside them the analyses'
// own, which the explorer neither creates nor reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

struct AnalysisStore {
  Store store;
  // Facts about the store as a whole (how it was built, where its dumps came from): text -> text.
  Database metadata;
  // Retained sizes: id -> immediate dominator, retained size, flags; dominator -> the objects it
  // immediately dominates by retained size; type -> objects by retained size; type -> retained
  // size counted once; id -> the names of its references.
  Database dominators;
  Database dominator_children;
  Database retained_index;
  Database type_retained;
  Database reference_names;

  // Opens the store in an existing directory, sharing the environment with an explorer of the
  // same process if there is one, and creates the analyses' databases that are missing.
  static Result<std::shared_ptr<const AnalysisStore>> open(std::string_view directory);
};

using Metadata = std::vector<std::pair<std::string, std::string>>;

// Every metadata entry, in key order.
Result<Metadata> read_metadata(const Transaction& txn, const AnalysisStore& store);
Status write_metadata(Transaction& txn, const AnalysisStore& store, std::string_view key, std::string_view value);

}  // namespace vesker
