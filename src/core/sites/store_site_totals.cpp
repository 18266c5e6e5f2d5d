#include "core/sites/store_site_totals.h"

#include <algorithm>
#include <chrono>

#include "core/dominators/heap_graph.h"

namespace vesker::sites {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

Result<StoreSiteReport> store_site_totals(const Transaction& txn, const AnalysisStore& store,
                                          std::span<const std::uint64_t> ids, std::span<const std::uint32_t> site_of,
                                          std::uint32_t site_count, std::size_t holders_per_site,
                                          Progress& cancellation) {
  if (ids.size() != site_of.size()) return fail_message("sites: ids and site numbers differ in length");
  StoreSiteReport out;
  auto started = Clock::now();
  VESKER_ASSIGN_OR_RETURN(dominators::HeapGraph graph,
                          dominators::read_heap_graph(store.store, txn, cancellation, dominators::HeapGraphShape{}));
  out.graph_seconds = seconds_since(started);

  started = Clock::now();
  VESKER_ASSIGN_OR_RETURN(dominators::DominatorTree tree, dominators::compute_dominator_tree(graph, cancellation));
  out.dominator_seconds = seconds_since(started);

  started = Clock::now();
  // Both id lists ascend, so one merge pairs each object with its site.
  std::vector<std::uint32_t> by_vertex(graph.vertex_count(), kNoSite);
  std::size_t at = 0;
  for (Vertex v = 1; v < graph.vertex_count() && at < ids.size(); ++v) {
    while (at < ids.size() && ids[at] < graph.ids[v]) ++at;
    if (at < ids.size() && ids[at] == graph.ids[v] && site_of[at] < site_count) by_vertex[v] = site_of[at];
  }
  out.report = site_totals(graph, tree, by_vertex, site_count, holders_per_site);
  out.holder_ids = std::move(graph.ids);
  out.holder_ids[0] = 0;
  out.site_seconds = seconds_since(started);
  return out;
}

}  // namespace vesker::sites
