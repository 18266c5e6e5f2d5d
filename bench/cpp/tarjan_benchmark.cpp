// Throughput and peak heap of visit_sccs with an in-memory visitor, on a
// random graph (one giant component plus many small ones) and on a path (the
// deepest possible call stack).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "core/analysis/component_values.h"

namespace {

// Live and peak heap bytes, counted by replacing the global allocator.
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;

void* counted_allocation(std::size_t size) {
  void* pointer = std::malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) throw std::bad_alloc();
  live_bytes += malloc_usable_size(pointer);
  if (live_bytes > peak_bytes) peak_bytes = live_bytes;
  return pointer;
}
void counted_free(void* pointer) noexcept {
  if (pointer == nullptr) return;
  live_bytes -= malloc_usable_size(pointer);
  std::free(pointer);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_free(pointer); }

namespace {

using vesker::Result;
using vesker::Status;
using vesker::analysis::SuccessorLists;
using vesker::analysis::Vertex;

// Compressed adjacency lists.
struct Graph {
  std::vector<std::uint64_t> first_edge;  // node_count + 1 offsets
  std::vector<std::uint32_t> targets;
  std::size_t node_count() const { return first_edge.size() - 1; }
};

Graph random_graph(std::size_t node_count) {
  std::mt19937_64 random(1234);
  Graph graph;
  graph.first_edge.reserve(node_count + 1);
  graph.first_edge.push_back(0);
  for (std::size_t node = 0; node < node_count; ++node) {
    const std::size_t degree = random() % 5;  // mean 2: a giant component and a fringe
    for (std::size_t e = 0; e < degree; ++e) graph.targets.push_back(static_cast<std::uint32_t>(random() % node_count));
    graph.first_edge.push_back(graph.targets.size());
  }
  return graph;
}

Graph path_graph(std::size_t node_count) {
  Graph graph;
  graph.first_edge.reserve(node_count + 1);
  graph.first_edge.push_back(0);
  for (std::size_t node = 0; node < node_count; ++node) {
    if (node + 1 < node_count) graph.targets.push_back(static_cast<std::uint32_t>(node + 1));
    graph.first_edge.push_back(graph.targets.size());
  }
  return graph;
}

// Vertex values are 1, component values the number of components reached
// (without de-duplication): cheap, so that the figures are the traversal's.
class InMemoryVisitor {
 public:
  using NodeValue = std::uint64_t;
  using SccValue = std::uint64_t;

  explicit InMemoryVisitor(const Graph& graph) : graph_(graph) {}

  Result<std::optional<Vertex>> next_root() {
    if (next_ == graph_.node_count()) return std::nullopt;
    return static_cast<Vertex>(next_++);
  }
  Result<std::uint64_t> discover(Vertex) const { return 1; }
  void merge_node_values(std::uint64_t& into, std::uint64_t from) const { into += from; }
  void merge_scc_values(std::optional<std::uint64_t>& into, std::uint64_t from) const {
    into = into.value_or(0) + from;
  }
  std::uint64_t add_node_value_to_scc_value(std::uint64_t, std::size_t, std::optional<std::uint64_t> pending) const {
    return pending.value_or(0) + 1;
  }
  Status emit_component(std::span<const Vertex> members, std::uint64_t, std::uint64_t value) {
    checksum_ += value * members.size();
    return {};
  }

  std::uint64_t checksum_ = 0;

 private:
  const Graph& graph_;
  std::uint64_t next_ = 0;
};

void run_traversal(benchmark::State& state, const Graph& graph) {
  std::size_t peak_growth = 0;
  for (auto _ : state) {
    InMemoryVisitor visitor(graph);
    const std::size_t baseline = live_bytes;
    peak_bytes = live_bytes;
    const SuccessorLists lists{.offsets = graph.first_edge, .targets = graph.targets};
    if (!vesker::analysis::visit_sccs(lists, visitor)) state.SkipWithError("visit_sccs failed");
    peak_growth = std::max(peak_growth, peak_bytes - baseline);
    benchmark::DoNotOptimize(visitor.checksum_);
  }
  const auto nodes = static_cast<double>(graph.node_count());
  state.counters["nodes/s"] = benchmark::Counter(nodes, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["edges/s"] =
      benchmark::Counter(static_cast<double>(graph.targets.size()), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_bytes/node"] = static_cast<double>(peak_growth) / nodes;
}

void BM_VisitSccsRandomGraph(benchmark::State& state) {
  const Graph graph = random_graph(static_cast<std::size_t>(state.range(0)));
  run_traversal(state, graph);
}
BENCHMARK(BM_VisitSccsRandomGraph)->Arg(1'000'000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VisitSccsRandomGraph)->Arg(10'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_VisitSccsPathGraph(benchmark::State& state) {
  const Graph graph = path_graph(static_cast<std::size_t>(state.range(0)));
  run_traversal(state, graph);
}
BENCHMARK(BM_VisitSccsPathGraph)->Arg(1'000'000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VisitSccsPathGraph)->Arg(10'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
