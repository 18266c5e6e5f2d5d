// The dominator phase of the retained sizes on a real store's graph: objects/s, edges/s and the
// peak anonymous memory it takes beyond the graph's own arrays, per object.
//
// The store is the one named by VESKER_BENCH_STORE (bench/python/retained_benchmark.py fills it
// from a generated dump); without it, a random heap-like graph stands in, of VESKER_BENCH_OBJECTS
// objects (two million by default).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "core/dominators/dominator_tree.h"
#include "core/dominators/heap_graph.h"
#include "core/store/analysis_store.h"

namespace vesker::dominators {
namespace {

std::int64_t rss_anon_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stoll(line.substr(8)) * 1024;
  }
  return 0;
}

// Samples RssAnon every two milliseconds while it lives.
class PeakAnon {
 public:
  PeakAnon() : base_(rss_anon_bytes()), peak_(base_), sampler_([this] {
    while (!stop_.load()) {
      peak_ = std::max<std::int64_t>(peak_, rss_anon_bytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }) {}
  ~PeakAnon() { stop(); }
  std::int64_t stop() {
    if (sampler_.joinable()) {
      stop_ = true;
      sampler_.join();
      peak_ = std::max<std::int64_t>(peak_, rss_anon_bytes());
    }
    return peak_ - base_;
  }

 private:
  std::int64_t base_;
  std::int64_t peak_;
  std::atomic<bool> stop_{false};
  std::thread sampler_;
};

Progress no_progress;

HeapGraph synthetic_graph(std::uint64_t objects) {
  std::mt19937_64 random(42);
  HeapGraphBuilder builder(objects);
  std::vector<std::uint64_t> references;
  for (std::uint64_t id = 1; id <= objects; ++id) {
    references.clear();
    const int degree = static_cast<int>(random() % 5);
    for (int k = 0; k < degree; ++k) {
      const bool local = random() % 2 == 0;
      references.push_back(local ? std::max<std::int64_t>(1, static_cast<std::int64_t>(id) - 1000 +
                                                                  static_cast<std::int64_t>(random() % 2000))
                                 : 1 + random() % objects);
    }
    if (!builder.add(id, random() % 50 == 0 ? "builtins.module" : "T", 16 + random() % 200, references)) std::abort();
  }
  return std::move(builder).finish();
}

const HeapGraph& graph() {
  static const HeapGraph loaded = [] {
    const char* directory = std::getenv("VESKER_BENCH_STORE");
    if (directory == nullptr) {
      const char* objects = std::getenv("VESKER_BENCH_OBJECTS");
      return synthetic_graph(objects == nullptr ? 2'000'000 : std::stoull(objects));
    }
    auto store = AnalysisStore::open(directory);
    if (!store) std::abort();
    auto txn = (*store)->store.begin_read();
    if (!txn) std::abort();
    auto read = read_heap_graph((*store)->store, *txn, no_progress);
    if (!read) std::abort();
    return std::move(*read);
  }();
  return loaded;
}

void DominatorPhase(benchmark::State& state) {
  const HeapGraph& g = graph();
  const double objects = g.vertex_count() - 1;
  std::int64_t beyond = 0;
  for (auto _ : state) {
    PeakAnon peak;
    auto tree = compute_dominator_tree(g, no_progress);
    if (!tree) std::abort();
    benchmark::DoNotOptimize(tree->retained.data());
    beyond = std::max(beyond, peak.stop());
  }
  state.counters["objects/s"] = benchmark::Counter(objects, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["edges/s"] =
      benchmark::Counter(static_cast<double>(g.successors.size()), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["objects"] = objects;
  state.counters["graph_B/object"] = static_cast<double>(g.memory_bytes()) / objects;
  state.counters["peak_anon_beyond_graph_B/object"] = static_cast<double>(beyond) / objects;
}
BENCHMARK(DominatorPhase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void RetainedByType(benchmark::State& state) {
  const HeapGraph& g = graph();
  auto tree = compute_dominator_tree(g, no_progress);
  if (!tree) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(retained_by_type(g, *tree, child_lists(tree->idom)).data());
  state.counters["objects/s"] =
      benchmark::Counter(g.vertex_count() - 1.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(RetainedByType)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace vesker::dominators

BENCHMARK_MAIN();
