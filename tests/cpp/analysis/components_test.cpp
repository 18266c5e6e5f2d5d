// The component search, plain and folding values, against the definition: components from
// mutual reachability, discovery and finishing order from a plain recursive depth-first search,
// each component's value from what it reaches.
#include "core/analysis/component_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vesker::analysis {
namespace {

struct Emission {
  Vertex node_id;
  std::uint64_t node_value_sum;
  std::set<std::size_t> reached;  // component sequence numbers in the component value
  friend bool operator==(const Emission&, const Emission&) = default;
};

// Successor lists in the traversal's compact form.
struct CompactLists {
  std::vector<std::uint64_t> offsets{0};
  std::vector<Vertex> targets;

  explicit CompactLists(const std::vector<std::vector<std::size_t>>& successors) {
    for (const auto& list : successors) {
      for (std::size_t target : list) targets.push_back(static_cast<Vertex>(target));
      offsets.push_back(targets.size());
    }
  }
  SuccessorLists lists() const { return {offsets, targets}; }
};

// An adjacency-list graph. Its component value is the set of component
// sequence numbers merged into it, so the tests can see every merge.
class GraphVisitor {
 public:
  using NodeValue = std::uint64_t;
  using SccValue = std::set<std::size_t>;

  GraphVisitor(std::vector<std::vector<std::size_t>> successors, std::vector<std::uint64_t> values)
      : successors_(std::move(successors)), values_(std::move(values)), compact_(successors_),
        discovered_(successors_.size(), false) {
    for (std::size_t i = 0; i < successors_.size(); ++i) enumeration_.push_back(i);
  }

  SuccessorLists lists() const { return compact_.lists(); }

  Result<std::optional<Vertex>> next_root() {
    if (fail_enumeration_at_ && *fail_enumeration_at_ == enumeration_calls_) return fail_message("enumeration");
    ++enumeration_calls_;
    while (cursor_ < enumeration_.size()) {
      const auto vertex = static_cast<Vertex>(enumeration_[cursor_++]);
      if (!hand_out_visited_nodes_ && discovered_[vertex]) continue;
      return vertex;
    }
    return std::nullopt;
  }
  Result<std::uint64_t> discover(Vertex vertex) {
    if (discovered_[vertex]) misuses_.push_back("a vertex discovered twice");
    discovered_[vertex] = true;
    discovery_order_.push_back(vertex);
    if (fail_discovery_of_ == vertex) return fail(Error::python_exception_pending());
    return values_[vertex];
  }
  void merge_node_values(std::uint64_t& into, std::uint64_t from) { into += from; }
  void merge_scc_values(std::optional<SccValue>& into, const SccValue& from) {
    if (!into) {
      into = from;
    } else {
      into->insert(from.begin(), from.end());
    }
  }
  SccValue add_node_value_to_scc_value(std::uint64_t sum, std::size_t scc_id, std::optional<SccValue> pending) {
    finished_sums_.push_back(sum);
    SccValue value = pending.value_or(SccValue{});
    value.insert(scc_id);
    return value;
  }
  // Recorded most recently discovered member first.
  Status emit_component(std::span<const Vertex> members, const std::uint64_t& sum, const SccValue& value) {
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
      if (fail_emission_at_ && *fail_emission_at_ == emissions_.size()) return fail_message("emission");
      emissions_.push_back({*member, sum, value});
    }
    return {};
  }

  std::vector<std::vector<std::size_t>> successors_;
  std::vector<std::uint64_t> values_;
  CompactLists compact_;
  std::vector<bool> discovered_;
  std::vector<std::size_t> enumeration_;
  std::size_t cursor_ = 0;
  bool hand_out_visited_nodes_ = false;
  std::optional<std::size_t> fail_enumeration_at_;
  std::size_t enumeration_calls_ = 0;
  std::optional<Vertex> fail_discovery_of_;
  std::optional<std::size_t> fail_emission_at_;

  std::vector<std::string> misuses_;
  std::vector<Vertex> discovery_order_;
  std::vector<std::uint64_t> finished_sums_;
  std::vector<Emission> emissions_;
};

template <class G>
Status run(G& graph) {
  return visit_sccs(graph.lists(), graph);
}

static_assert(GraphSCCVisitor<GraphVisitor>);

// What the traversal must produce, worked out without Tarjan's algorithm:
// components from mutual reachability, discovery and finishing order from a
// plain recursive depth-first search.
struct Expected {
  std::vector<std::size_t> preorder;
  std::vector<std::size_t> postorder_time;
  std::vector<std::size_t> component;  // representative: smallest index of the component
  std::vector<std::vector<bool>> reaches;
};

// reaches[a][b]: b can be reached from a along the edges that `follows` lets through.
std::vector<std::vector<bool>> reach_matrix(const std::vector<std::vector<std::size_t>>& successors,
                                            const std::function<bool(std::size_t, std::size_t)>& follows) {
  const std::size_t n = successors.size();
  std::vector<std::vector<bool>> reaches(n, std::vector<bool>(n, false));
  for (std::size_t start = 0; start < n; ++start) {
    std::vector<std::size_t> pending{start};
    reaches[start][start] = true;
    while (!pending.empty()) {
      const std::size_t node = pending.back();
      pending.pop_back();
      for (std::size_t next : successors[node]) {
        if (follows(node, next) && !reaches[start][next]) {
          reaches[start][next] = true;
          pending.push_back(next);
        }
      }
    }
  }
  return reaches;
}

Expected brute_force(const GraphVisitor& graph) {
  const std::size_t n = graph.successors_.size();
  Expected expected;
  expected.reaches = reach_matrix(graph.successors_, [](std::size_t, std::size_t) { return true; });
  expected.component.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      if (expected.reaches[i][j] && expected.reaches[j][i]) {
        expected.component[i] = j;
        break;
      }
    }
  }
  std::vector<bool> seen(n, false);
  expected.postorder_time.assign(n, 0);
  std::size_t clock = 0;
  std::function<void(std::size_t)> dfs = [&](std::size_t node) {
    seen[node] = true;
    expected.preorder.push_back(node);
    for (std::size_t next : graph.successors_[node]) {
      if (!seen[next]) dfs(next);
    }
    expected.postorder_time[node] = clock++;
  };
  for (std::size_t node : graph.enumeration_) {
    if (!seen[node]) dfs(node);
  }
  return expected;
}

void check_against_brute_force(GraphVisitor& graph) {
  const std::size_t n = graph.successors_.size();
  const Expected expected = brute_force(graph);
  ASSERT_TRUE(run(graph).has_value());
  EXPECT_TRUE(graph.misuses_.empty()) << graph.misuses_.front();

  std::vector<Vertex> expected_discovery;
  for (std::size_t node : expected.preorder) expected_discovery.push_back(node);
  ASSERT_EQ(graph.discovery_order_, expected_discovery);
  std::map<Vertex, std::size_t> discovery_rank;
  for (std::size_t i = 0; i < n; ++i) discovery_rank[expected_discovery[i]] = i;

  // Every node once, components contiguous and numbered in emission order.
  ASSERT_EQ(graph.emissions_.size(), n);
  std::vector<std::size_t> scc_of(n);
  std::vector<std::vector<std::size_t>> members;
  std::set<Vertex> emitted;
  for (std::size_t e = 0; e < n; ++e) {
    const Emission& emission = graph.emissions_[e];
    ASSERT_TRUE(emitted.insert(emission.node_id).second);
    const std::size_t node = emission.node_id;
    const bool starts_component = e == 0 || emission.reached != graph.emissions_[e - 1].reached ||
                                  expected.component[node] != expected.component[members.back().front()];
    if (starts_component) members.emplace_back();
    scc_of[node] = members.size() - 1;
    // The largest sequence number a component value holds is its own.
    ASSERT_EQ(*emission.reached.rbegin(), members.size() - 1);
    if (!starts_component) {
      EXPECT_GT(discovery_rank[graph.emissions_[e - 1].node_id], discovery_rank[emission.node_id])
          << "members go most recently discovered first";
    }
    members.back().push_back(node);
  }
  ASSERT_EQ(graph.finished_sums_.size(), members.size());

  for (std::size_t scc = 0; scc < members.size(); ++scc) {
    std::uint64_t sum = 0;
    const std::size_t root = members[scc].back();
    for (std::size_t node : members[scc]) {
      sum += graph.values_[node];
      EXPECT_EQ(expected.component[node], expected.component[root]);
    }
    EXPECT_EQ(std::count(expected.component.begin(), expected.component.end(), expected.component[root]),
              static_cast<long>(members[scc].size()));
    EXPECT_EQ(graph.finished_sums_[scc], sum);
    // The root is the member discovered first, and components finish in the
    // order in which a depth-first search leaves their roots.
    for (std::size_t node : members[scc]) EXPECT_GE(discovery_rank[node], discovery_rank[root]);
    if (scc > 0) {
      EXPECT_LT(expected.postorder_time[members[scc - 1].back()], expected.postorder_time[root]);
    }
    std::set<std::size_t> reached;
    for (std::size_t other = 0; other < n; ++other) {
      if (expected.reaches[root][other]) reached.insert(scc_of[other]);
    }
    for (std::size_t node : members[scc]) {
      const Emission& emission = *std::find_if(graph.emissions_.begin(), graph.emissions_.end(),
                                               [&](const Emission& x) { return x.node_id == node; });
      EXPECT_EQ(emission.node_value_sum, sum);
      EXPECT_EQ(emission.reached, reached);
    }
  }
  // Reverse topological: every edge out of a component leads to an earlier one.
  for (std::size_t node = 0; node < n; ++node) {
    for (std::size_t next : graph.successors_[node]) EXPECT_LE(scc_of[next], scc_of[node]);
  }
}

GraphVisitor random_graph(std::mt19937_64& random) {
  const std::size_t n = 1 + random() % 40;
  const std::size_t edges = random() % (3 * n + 1);
  std::vector<std::vector<std::size_t>> successors(n);
  for (std::size_t e = 0; e < edges; ++e) {
    const std::size_t from = random() % n;
    // Mostly forward edges with some back edges, self-loops and repeats.
    std::size_t to = random() % 4 == 0 ? random() % n : std::min(n - 1, from + random() % 3);
    successors[from].push_back(to);
    if (random() % 10 == 0) successors[from].push_back(to);
  }
  std::vector<std::uint64_t> values(n);
  for (auto& value : values) value = random() % 1000;
  GraphVisitor graph(std::move(successors), std::move(values));
  std::shuffle(graph.enumeration_.begin(), graph.enumeration_.end(), random);
  return graph;
}

TEST(ComponentsTest, RandomGraphsMatchBruteForce) {
  std::mt19937_64 random(42);
  for (int round = 0; round < 400; ++round) {
    GraphVisitor graph = random_graph(random);
    SCOPED_TRACE("round " + std::to_string(round));
    check_against_brute_force(graph);
    if (HasFatalFailure()) return;
  }
}

// The plain search, whose edges a filter thins: the components are those of mutual reachability
// along the edges let through, each emitted once, finished, and after every component it reaches.
TEST(ComponentsTest, PlainSearchFindsTheComponentsOfTheFollowedEdges) {
  std::mt19937_64 random(11);
  const auto follows = [](std::size_t from, std::size_t to) { return (3 * from + to) % 4 != 0; };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const GraphVisitor graph = random_graph(random);
    const std::size_t n = graph.successors_.size();
    const auto reaches = reach_matrix(graph.successors_, follows);
    std::vector<Vertex> index(n), lowlink(n);
    ComponentSearch search{std::span<Vertex>(index), std::span<Vertex>(lowlink), graph.lists(),
                           [&](Vertex from, Vertex to) { return follows(from, to); }};
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> component(n, kNone);
    std::size_t components = 0;
    for (const std::size_t root : graph.enumeration_) {
      search.from(static_cast<Vertex>(root), [&](std::span<const Vertex> members) {
        for (const Vertex member : members) {
          EXPECT_TRUE(search.finished(member));
          EXPECT_EQ(component[member], kNone) << "emitted twice";
          component[member] = components;
        }
        ++components;
      });
    }
    for (std::size_t a = 0; a < n; ++a) {
      for (std::size_t b = 0; b < n; ++b) {
        EXPECT_EQ(component[a] == component[b], reaches[a][b] && reaches[b][a]) << a << " " << b;
      }
      for (const std::size_t next : graph.successors_[a]) {
        if (follows(a, next)) {
          EXPECT_LE(component[next], component[a]);
        }
      }
    }
  }
}

TEST(ComponentsTest, SmallShapes) {
  {  // No nodes.
    GraphVisitor graph({}, {});
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_TRUE(graph.emissions_.empty());
  }
  {  // A self-reference counts the node once.
    GraphVisitor graph({{0}}, {5});
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_EQ(graph.emissions_, (std::vector<Emission>{{0, 5, {0}}}));
  }
  {  // Chain a -> b: b first, a reaches it.
    GraphVisitor graph({{1}, {}}, {1, 2});
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_EQ(graph.emissions_, (std::vector<Emission>{{1, 2, {0}}, {0, 1, {0, 1}}}));
  }
  {  // Cycle a -> b -> a: one component, b first, root a last.
    GraphVisitor graph({{1}, {0}}, {1, 2});
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_EQ(graph.emissions_, (std::vector<Emission>{{1, 3, {0}}, {0, 3, {0}}}));
  }
  {  // Two nodes reaching a finished component: it is emitted once and merged into both.
    GraphVisitor graph({{2}, {2}, {}}, {1, 2, 4});
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_EQ(graph.emissions_,
              (std::vector<Emission>{{2, 4, {0}}, {0, 1, {0, 1}}, {1, 2, {0, 2}}}));
  }
}

TEST(ComponentsTest, NodesHandedOutAgainAreSkipped) {
  std::mt19937_64 random(9);
  for (int round = 0; round < 50; ++round) {
    GraphVisitor graph = random_graph(random);
    graph.hand_out_visited_nodes_ = true;
    check_against_brute_force(graph);
    if (HasFatalFailure()) return;
  }
}

TEST(ComponentsTest, VisitorErrorsEndTheTraversalUnchanged) {
  const auto cycle_with_tail = [] { return GraphVisitor({{1}, {2}, {0, 3}, {}}, {1, 1, 1, 1}); };
  {
    GraphVisitor graph = cycle_with_tail();
    graph.fail_enumeration_at_ = 1;  // after the first component tree is done
    const Status status = run(graph);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().text(), "enumeration");
    EXPECT_EQ(graph.emissions_.size(), 4u);
  }
  {
    GraphVisitor graph = cycle_with_tail();
    graph.fail_discovery_of_ = 2;
    const Status status = run(graph);
    ASSERT_FALSE(status.has_value());
    EXPECT_TRUE(status.error().holds_python_exception());
    EXPECT_TRUE(graph.emissions_.empty());
    }
  {
    // Node 3 is emitted, then the cycle 0-1-2 fails on its second member.
    GraphVisitor graph = cycle_with_tail();
    graph.fail_emission_at_ = 2;
    const Status status = run(graph);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().text(), "emission");
    ASSERT_EQ(graph.emissions_.size(), 2u);
    EXPECT_EQ(graph.emissions_[0].node_id, 3);
    EXPECT_EQ(graph.emissions_[1].node_id, 2);
    }
}

// A path or cycle of a million nodes, with a component value that counts the
// nodes reached.
class LongGraphVisitor {
 public:
  using NodeValue = std::uint64_t;
  using SccValue = std::uint64_t;

  LongGraphVisitor(std::uint64_t node_count, bool closed)
      : node_count_(node_count), closed_(closed), compact_([&] {
          std::vector<std::vector<std::size_t>> successors(node_count);
          for (std::size_t i = 0; i + 1 < node_count; ++i) successors[i].push_back(i + 1);
          if (closed) successors[node_count - 1].push_back(0);
          return successors;
        }()) {}

  SuccessorLists lists() const { return compact_.lists(); }
  Result<std::optional<Vertex>> next_root() {
    if (next_ < node_count_) return static_cast<Vertex>(next_++);
    return std::nullopt;
  }
  Result<std::uint64_t> discover(Vertex) { return 1; }
  void merge_node_values(std::uint64_t& into, std::uint64_t from) const { into += from; }
  void merge_scc_values(std::optional<std::uint64_t>& into, std::uint64_t from) const {
    into = into.value_or(0) + from;
  }
  std::uint64_t add_node_value_to_scc_value(std::uint64_t sum, std::size_t, std::optional<std::uint64_t> pending) {
    ++components_;
    return pending.value_or(0) + sum;
  }
  Status emit_component(std::span<const Vertex> members, std::uint64_t, std::uint64_t reached) {
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
      const std::uint64_t node_id = *member;
      const std::uint64_t expected = closed_ ? node_count_ : node_count_ - node_id;
      if (reached != expected || node_id != expected_next_emission_) ++wrong_emissions_;
      expected_next_emission_ = node_id - 1;
      ++emissions_;
    }
    return {};
  }

  std::uint64_t node_count_;
  bool closed_;
  CompactLists compact_;
  std::uint64_t next_ = 0;
  std::uint64_t components_ = 0;
  std::uint64_t emissions_ = 0;
  std::uint64_t expected_next_emission_;
  std::uint64_t wrong_emissions_ = 0;
};

TEST(ComponentsTest, MillionNodePathAndCycleNeedNoNativeStack) {
  constexpr std::uint64_t kNodes = 1'000'000;
  for (bool closed : {false, true}) {
    LongGraphVisitor graph(kNodes, closed);
    graph.expected_next_emission_ = kNodes - 1;
    ASSERT_TRUE(run(graph).has_value());
    EXPECT_EQ(graph.emissions_, kNodes);
    EXPECT_EQ(graph.components_, closed ? 1 : kNodes);
    EXPECT_EQ(graph.wrong_emissions_, 0u);
    }
}

}  // namespace
}  // namespace vesker::analysis
