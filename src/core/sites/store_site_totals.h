// Per-site totals of a store: its graph and dominator tree, read and computed afresh, with the
// sites an import read from the dump's records.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/sites/site_totals.h"
#include "core/store/analysis_store.h"

namespace vesker::sites {

struct StoreSiteReport {
  SiteReport report;
  std::vector<std::uint64_t> holder_ids;  // by graph vertex: the object id (0 for the roots)
  double graph_seconds = 0;      // reading the graph
  double dominator_seconds = 0;  // the dominator tree
  double site_seconds = 0;       // the per-site totals
};

// `ids` (ascending) and `site_of` pair objects with their site numbers below `site_count`; objects
// of the store not among `ids` have none.
Result<StoreSiteReport> store_site_totals(const Transaction& txn, const AnalysisStore& store,
                                          std::span<const std::uint64_t> ids, std::span<const std::uint32_t> site_of,
                                          std::uint32_t site_count, std::size_t holders_per_site,
                                          Progress& cancellation);

}  // namespace vesker::sites
