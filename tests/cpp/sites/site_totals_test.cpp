// Per-site totals against their definition, by brute force on random graphs with random site
// labels: a site retains what some object of the site alone keeps alive (the objects no longer
// reachable from the roots once that object is removed), each such object counted once.
#include "core/sites/site_totals.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/reach.h"

namespace vesker::sites {
namespace {

using dominators::DominatorTree;
using dominators::HeapGraph;

// Vertices reached from the root's edges without entering `removed`.
std::vector<bool> reach(const HeapGraph& g, const DominatorTree& tree, Vertex removed) {
  std::vector<Vertex> starts;
  for (Vertex v = 1; v < g.vertex_count(); ++v) {
    if (tree.flags[v] & dominators::kRootEdge) starts.push_back(v);
  }
  return testing::reach(g, starts, removed);
}

TEST(SiteTotals, MatchTheDefinitionOnRandomGraphs) {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 400; ++round) {
    const int n = 1 + static_cast<int>(random() % 16);
    const std::uint32_t site_count = 1 + static_cast<std::uint32_t>(random() % 4);
    dominators::HeapGraphBuilder builder;
    for (int i = 1; i <= n; ++i) {
      std::vector<std::uint64_t> references;
      const int degree = static_cast<int>(random() % 4);
      for (int k = 0; k < degree; ++k) references.push_back(16 * (1 + random() % n));
      ASSERT_TRUE(builder.add(static_cast<std::uint64_t>(16 * i), random() % 9 == 0 ? "builtins.module" : "T",
                              1 + random() % 100, references));
    }
    const HeapGraph g = std::move(builder).finish();
    std::vector<std::uint32_t> site_of(g.vertex_count(), kNoSite);
    for (Vertex v = 1; v < g.vertex_count(); ++v) {
      if (random() % 5 != 0) site_of[v] = static_cast<std::uint32_t>(random() % site_count);
    }
    Progress none;
    const auto tree = dominators::compute_dominator_tree(g, none);
    ASSERT_TRUE(tree);
    const SiteReport report = site_totals(g, *tree, site_of, site_count, 1000);

    SiteTotals unknown;
    std::vector<SiteTotals> expected(site_count);
    std::vector<std::vector<bool>> freed(site_count, std::vector<bool>(g.vertex_count(), false));
    for (Vertex v = 1; v < g.vertex_count(); ++v) {
      SiteTotals& totals = site_of[v] == kNoSite ? unknown : expected[site_of[v]];
      ++totals.count;
      totals.size += g.sizes[v];
      if (site_of[v] == kNoSite) continue;
      const std::vector<bool> still = reach(g, *tree, v);
      for (Vertex w = 1; w < g.vertex_count(); ++w) {
        if (!still[w]) freed[site_of[v]][w] = true;
      }
    }
    EXPECT_EQ(report.unknown.count, unknown.count);
    EXPECT_EQ(report.unknown.size, unknown.size);
    for (std::uint32_t s = 0; s < site_count; ++s) {
      for (Vertex w = 1; w < g.vertex_count(); ++w) expected[s].retained += freed[s][w] ? g.sizes[w] : 0;
      const SiteTotals& got = report.sites[s];
      EXPECT_EQ(got.count, expected[s].count) << "round " << round << " site " << s;
      EXPECT_EQ(got.size, expected[s].size) << "round " << round << " site " << s;
      EXPECT_EQ(got.retained, expected[s].retained) << "round " << round << " site " << s;
      // The holders share out the site's retained size, none of them of the site itself.
      std::uint64_t held = 0;
      for (const SiteHolder& h : got.holders) {
        held += h.retained;
        EXPECT_TRUE(h.holder == dominators::kRoot || site_of[h.holder] != s);
      }
      EXPECT_EQ(held, got.retained);
    }
  }
}

}  // namespace
}  // namespace vesker::sites
