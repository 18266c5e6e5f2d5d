#include "core/sites/site_totals.h"

#include <algorithm>

#include "absl/container/flat_hash_map.h"

namespace vesker::sites {

SiteReport site_totals(const dominators::HeapGraph& graph, const dominators::DominatorTree& tree,
                       std::span<const std::uint32_t> site_of, std::uint32_t site_count, std::size_t holders_per_site) {
  SiteReport report;
  report.sites.resize(site_count);
  for (Vertex v = 1; v < graph.vertex_count(); ++v) {
    SiteTotals& totals = site_of[v] < site_count ? report.sites[site_of[v]] : report.unknown;
    ++totals.count;
    totals.size += graph.sizes[v];
  }
  // A topmost object's immediate dominator is outside its site, so it is the holder that the
  // object's memory hangs from.
  std::vector<absl::flat_hash_map<Vertex, std::uint64_t>> by_holder(site_count);
  const dominators::ChildLists children = dominators::child_lists(tree.idom);
  dominators::for_each_topmost_of_label(tree, children, site_of, site_count, [&](Vertex p, std::uint32_t site) {
    report.sites[site].retained += tree.retained[p];
    by_holder[site][tree.vertex[tree.idom[p]]] += tree.retained[p];
  });
  for (std::uint32_t site = 0; site < site_count; ++site) {
    std::vector<SiteHolder>& holders = report.sites[site].holders;
    for (const auto& [holder, retained] : by_holder[site]) holders.push_back({holder, retained});
    const auto larger = [](const SiteHolder& a, const SiteHolder& b) {
      return a.retained != b.retained ? a.retained > b.retained : a.holder < b.holder;
    };
    const std::size_t kept = std::min(holders.size(), holders_per_site);
    std::partial_sort(holders.begin(), holders.begin() + static_cast<std::ptrdiff_t>(kept), holders.end(), larger);
    holders.resize(kept);
  }
  return report;
}

}  // namespace vesker::sites
