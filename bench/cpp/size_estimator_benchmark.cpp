// Cost of the two estimator families: SizeSketch additions and merges per
// register count, and summed radix tree additions and unions on the shapes
// the SCC traversal produces (a chain of components and a random DAG), with
// the number of tree nodes the built trees hold per element.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "core/analysis/size_sketch.h"
#include "core/analysis/summed_radix_tree.h"

namespace {

using vesker::analysis::SizeSketch;
using vesker::analysis::SummedRadixTree;

template <std::size_t N>
void BM_SketchAddInPlace(benchmark::State& state) {
  SizeSketch<N> sketch;
  std::uint64_t id = 0;
  for (auto _ : state) {
    sketch.add_in_place(id, 1000 + (id & 0xFFF));
    ++id;
    benchmark::DoNotOptimize(sketch);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SketchAddInPlace<7>);
BENCHMARK(BM_SketchAddInPlace<31>);
BENCHMARK(BM_SketchAddInPlace<127>);

template <std::size_t N>
void BM_SketchInclude(benchmark::State& state) {
  // Distinct sketches so that the outcome of each comparison varies.
  std::vector<SizeSketch<N>> pool(256);
  std::mt19937_64 random(5);
  for (auto& sketch : pool) {
    for (int i = 0; i < 8; ++i) sketch.add_in_place(random() % 4096, 1 + random() % 100000);
  }
  SizeSketch<N> merged;
  std::size_t next = 0;
  for (auto _ : state) {
    if ((next & 255) == 0) merged = SizeSketch<N>();
    merged.include(pool[next++ & 255]);
    benchmark::DoNotOptimize(merged);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SketchInclude<7>);
BENCHMARK(BM_SketchInclude<31>);
BENCHMARK(BM_SketchInclude<127>);

void BM_SketchEstimate127(benchmark::State& state) {
  SizeSketch<127> sketch;
  for (std::uint64_t id = 0; id < 1000; ++id) sketch.add_in_place(id, 100);
  for (auto _ : state) benchmark::DoNotOptimize(sketch.estimate());
}
BENCHMARK(BM_SketchEstimate127);

void set_per_element_counters(benchmark::State& state, double elements, std::size_t nodes_kept) {
  state.counters["time/element"] =
      benchmark::Counter(elements, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["nodes_kept/element"] = static_cast<double>(nodes_kept) / elements;
}

// A chain of components, each reaching the previous one: every component's
// tree is the previous tree plus its own id, and all of them stay alive.
void BM_TreeAddChain(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  std::size_t nodes_kept = 0;
  for (auto _ : state) {
    std::vector<SummedRadixTree> trees;
    trees.reserve(length);
    SummedRadixTree tree = SummedRadixTree::empty();
    for (std::uint64_t id = 0; id < length; ++id) {
      tree = SummedRadixTree::add(tree, id, 64 + (id & 63));
      trees.push_back(tree);
    }
    benchmark::DoNotOptimize(tree.sum());
    state.PauseTiming();
    nodes_kept = SummedRadixTree::thread_node_count();
    trees.clear();
    tree = SummedRadixTree::empty();
    state.ResumeTiming();
  }
  set_per_element_counters(state, static_cast<double>(length), nodes_kept);
}
BENCHMARK(BM_TreeAddChain)->Arg(100'000)->Unit(benchmark::kMillisecond);

// The visitor's fold over a random DAG in reverse topological order: a node's
// tree is the union of its successors' trees plus its own id. Successors lie
// within a window below the node, as components near each other in finishing
// order tend to be.
void BM_TreeUnionRandomDag(benchmark::State& state) {
  const auto node_count = static_cast<std::size_t>(state.range(0));
  const auto window = static_cast<std::size_t>(state.range(1));
  std::mt19937_64 random(77);
  std::vector<std::vector<std::size_t>> successors(node_count);
  std::size_t edge_count = 0;
  for (std::size_t node = 1; node < node_count; ++node) {
    const std::size_t degree = random() % 4;
    for (std::size_t e = 0; e < degree; ++e) {
      const std::size_t reach = std::min(node, window);
      successors[node].push_back(node - 1 - random() % reach);
    }
    edge_count += degree;
  }
  std::size_t nodes_kept = 0;
  for (auto _ : state) {
    std::vector<SummedRadixTree> trees;
    trees.reserve(node_count);
    for (std::size_t node = 0; node < node_count; ++node) {
      SummedRadixTree tree = SummedRadixTree::empty();
      for (std::size_t successor : successors[node]) tree = SummedRadixTree::union_of(tree, trees[successor]);
      trees.push_back(SummedRadixTree::add(tree, node, 64 + (node & 63)));
    }
    benchmark::DoNotOptimize(trees.back().sum());
    state.PauseTiming();
    nodes_kept = SummedRadixTree::thread_node_count();
    trees.clear();
    state.ResumeTiming();
  }
  set_per_element_counters(state, static_cast<double>(node_count), nodes_kept);
  state.counters["unions/element"] = static_cast<double>(edge_count) / static_cast<double>(node_count);
}
BENCHMARK(BM_TreeUnionRandomDag)->Args({100'000, 64})->Args({100'000, 100'000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
