// The dominator tree against the definition, computed by brute force: d dominates x when x can
// no longer be reached from the virtual root once d is removed, and retained(d) is the total size
// of what can no longer be reached.
#include "core/dominators/dominator_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/reach.h"

namespace vesker::dominators {
namespace {

struct Object {
  std::uint64_t id;
  std::string type;
  std::uint64_t size;
  std::vector<std::uint64_t> references;
};

HeapGraph build(const std::vector<Object>& objects) {
  HeapGraphBuilder builder;
  for (const Object& o : objects) EXPECT_TRUE(builder.add(o.id, o.type, o.size, o.references));
  return std::move(builder).finish();
}

Progress no_progress;

using testing::reach;

struct Expected {
  std::vector<Vertex> roots;
  std::vector<bool> unreachable;
};

// The root edges by their definition, with components found from pairwise reachability.
Expected expected_roots(const HeapGraph& g) {
  const Vertex n = g.vertex_count();
  Expected e;
  for (Vertex v = 1; v < n; ++v) {
    if (g.predecessors_of(v).empty() || g.is_module[v]) e.roots.push_back(v);
  }
  const std::vector<bool> reached = reach(g, e.roots, kRoot);
  std::vector<std::vector<bool>> from(n);
  for (Vertex v = 1; v < n; ++v) from[v] = reach(g, {v}, kRoot);
  e.unreachable.assign(n, false);
  for (Vertex v = 1; v < n; ++v) {
    if (reached[v]) continue;
    e.unreachable[v] = true;
    bool source = true, smallest = true;
    for (Vertex u = 1; u < n; ++u) {
      if (reached[u] || u == v) continue;
      const bool same_component = from[u][v] && from[v][u];
      if (from[u][v] && !same_component) source = false;
      if (same_component && u < v) smallest = false;
    }
    if (source && smallest) e.roots.push_back(v);
  }
  return e;
}

void check_against_definition(const HeapGraph& g) {
  const Vertex n = g.vertex_count();
  const auto tree = compute_dominator_tree(g, no_progress);
  ASSERT_TRUE(tree);
  const Expected e = expected_roots(g);
  std::vector<Vertex> pre(n);
  for (Vertex p = 0; p < n; ++p) pre[tree->vertex[p]] = p;
  std::uint64_t total = 0;
  for (Vertex v = 1; v < n; ++v) total += g.sizes[v];
  EXPECT_EQ(tree->retained[0], total);
  std::uint64_t root_children_total = 0;
  for (Vertex v = 1; v < n; ++v) {
    const std::vector<bool> still = reach(g, e.roots, v);
    std::uint64_t freed = 0;
    for (Vertex w = 1; w < n; ++w) freed += still[w] ? 0 : g.sizes[w];
    EXPECT_EQ(tree->retained[pre[v]], freed) << "vertex " << v;
    EXPECT_EQ(bool(tree->flags[v] & kUnreachable), bool(e.unreachable[v])) << "vertex " << v;
    // The immediate dominator: the strict dominator that every other strict dominator dominates.
    Vertex idom = kRoot;
    for (Vertex d = 1; d < n; ++d) {
      if (d == v || reach(g, e.roots, d)[v]) continue;
      if (idom == kRoot || !reach(g, e.roots, idom)[d]) idom = d;
    }
    EXPECT_EQ(tree->vertex[tree->idom[pre[v]]], idom) << "vertex " << v;
    if (idom == kRoot) root_children_total += tree->retained[pre[v]];
  }
  EXPECT_EQ(root_children_total, total);

  // The same tree by vertex: every vertex once among the children of its immediate dominator,
  // largest retained size first, then smallest id.
  DominatorTree copy = *tree;
  ChildLists by_preorder = child_lists(copy.idom);
  const DominatorTreeByVertex by_vertex = tree_by_vertex(g, std::move(copy), std::move(by_preorder));
  std::vector<Vertex> listed_under(n, kRoot);
  for (Vertex v = 0; v < n; ++v) {
    EXPECT_EQ(by_vertex.retained[v], tree->retained[pre[v]]) << "vertex " << v;
    EXPECT_EQ(by_vertex.flags[v], tree->flags[v]) << "vertex " << v;
    const auto children = by_vertex.children.of(v);
    for (const Vertex child : children) listed_under[child] = v;
    EXPECT_TRUE(std::is_sorted(children.begin(), children.end(), [&](Vertex a, Vertex b) {
      return std::pair(~by_vertex.retained[a], g.ids[a]) < std::pair(~by_vertex.retained[b], g.ids[b]);
    })) << "vertex " << v;
  }
  EXPECT_EQ(by_vertex.children.children.size(), n - 1u);
  for (Vertex v = 1; v < n; ++v) {
    EXPECT_EQ(by_vertex.idom[v], tree->vertex[tree->idom[pre[v]]]) << "vertex " << v;
    EXPECT_EQ(listed_under[v], by_vertex.idom[v]) << "vertex " << v;
  }
}

TEST(DominatorTree, MatchesTheDefinitionOnHandMadeGraphs) {
  const std::vector<std::vector<Object>> cases = {
      // A cycle held by one object.
      {{1, "H", 10, {2}}, {2, "C", 1, {3}}, {3, "C", 2, {4}}, {4, "C", 4, {2}}},
      // A diamond.
      {{1, "T", 1, {2, 3}}, {2, "L", 2, {4}}, {3, "R", 4, {4}}, {4, "B", 8, {}}},
      // An object reachable from two roots, and one below it.
      {{1, "A", 1, {3}}, {2, "B", 2, {3}}, {3, "S", 4, {4}}, {4, "X", 8, {}}},
      // A module in the middle of a chain, also referred to from elsewhere.
      {{1, "A", 1, {2}}, {2, "builtins.module", 2, {3}}, {3, "X", 4, {4}}, {4, "Y", 8, {}}, {5, "Z", 16, {2}}},
      // Unreferenced cycles: one alone, one that refers to another, and a self reference.
      {{1, "A", 1, {}}, {2, "C", 2, {3}}, {3, "C", 4, {2, 5}}, {5, "D", 8, {6}}, {6, "D", 16, {5}},
       {7, "S", 32, {7, 8}}, {8, "T", 64, {}}},
      // A dangling reference and a duplicate one.
      {{1, "A", 1, {99, 2, 2}}, {2, "B", 2, {}}},
  };
  for (const auto& objects : cases) check_against_definition(build(objects));
}

TEST(DominatorTree, MatchesTheDefinitionOnRandomGraphs) {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 300; ++round) {
    const int n = 1 + static_cast<int>(random() % 14);
    std::vector<Object> objects;
    for (int i = 1; i <= n; ++i) {
      Object o{static_cast<std::uint64_t>(i * 16), random() % 9 == 0 ? "builtins.module" : "T", 1 + random() % 100, {}};
      const int degree = static_cast<int>(random() % 4);
      for (int k = 0; k < degree; ++k) o.references.push_back(16 * (1 + random() % (n + 1)));  // n + 1: dangling
      objects.push_back(std::move(o));
    }
    check_against_definition(build(objects));
  }
}

TEST(DominatorTree, CountsEachTypeOnceAlongADominatorPath) {
  // 1 (L) holds 2 (L) holds 3 (S); 4 (S) alone.
  const HeapGraph g = build({{1, "L", 1, {2}}, {2, "L", 2, {3}}, {3, "S", 4, {}}, {4, "S", 8, {}}});
  const auto tree = compute_dominator_tree(g, no_progress);
  ASSERT_TRUE(tree);
  const auto once = retained_by_type(g, *tree, child_lists(tree->idom));
  EXPECT_EQ(once[g.types[1]], 7u);
  EXPECT_EQ(once[g.types[3]], 12u);
}

TEST(DominatorTree, HandlesAChainOfAMillionObjectsWithoutRecursion) {
  constexpr std::uint64_t kLength = 1'000'000;
  HeapGraphBuilder builder(kLength);
  for (std::uint64_t id = 1; id <= kLength; ++id) {
    const std::uint64_t next[] = {id + 1};
    ASSERT_TRUE(builder.add(id, "N", 1, id < kLength ? std::span(next) : std::span<const std::uint64_t>()));
  }
  const HeapGraph g = std::move(builder).finish();
  const auto tree = compute_dominator_tree(g, no_progress);
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->retained[1], kLength);
  EXPECT_EQ(tree->retained[kLength], 1u);
  // The same chain closed into one unreferenced cycle: one root edge, every object unreachable.
  HeapGraphBuilder cycle(kLength);
  for (std::uint64_t id = 1; id <= kLength; ++id) {
    const std::uint64_t next[] = {id < kLength ? id + 1 : 1};
    ASSERT_TRUE(cycle.add(id, "N", 1, next));
  }
  const auto cyclic = compute_dominator_tree(std::move(cycle).finish(), no_progress);
  ASSERT_TRUE(cyclic);
  EXPECT_EQ(cyclic->unreachable_count, kLength);
  EXPECT_EQ(cyclic->retained[1], kLength);
}

TEST(DominatorTree, StopsWhenToldTo) {
  HeapGraphBuilder builder;
  for (std::uint64_t id = 1; id <= 200'000; ++id) ASSERT_TRUE(builder.add(id, "N", 1, {}));
  Progress stop([](std::uint64_t, std::uint64_t) -> Status { return fail(Error::cancelled()); });
  const auto tree = compute_dominator_tree(std::move(builder).finish(), stop);
  ASSERT_FALSE(tree);
  EXPECT_EQ(tree.error().kind(), ErrorKind::cancelled);
}

}  // namespace
}  // namespace vesker::dominators
