// The import and the post-import step on a real dump, each beside its floor: the same rows put
// with plain mdb_put, in input order, in one transaction (import), and one pass that reads,
// rewrites and indexes every record in one transaction (post-import).
//
//   VESKER_BENCH_DUMP=dump.jsonl store_benchmark [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/importer/line_importer.h"

namespace vesker {
namespace {

namespace fs = std::filesystem;

struct Dump {
  std::vector<std::string> lines;
  std::size_t bytes = 0;
};

const Dump& dump() {
  static const Dump loaded = [] {
    const char* path = std::getenv("VESKER_BENCH_DUMP");
    if (path == nullptr) {
      std::cerr << "set VESKER_BENCH_DUMP to a dump file\n";
      std::exit(2);
    }
    Dump result;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      result.bytes += line.size() + 1;
      result.lines.push_back(std::move(line));
    }
    return result;
  }();
  return loaded;
}

// A fresh directory, removed with the object.
struct ScratchDirectory {
  fs::path path;
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "vesker-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~ScratchDirectory() { fs::remove_all(path); }
};

template <class T>
T value_or_die(Result<T>&& result) {
  if (!result) {
    std::cerr << result.error().text() << '\n';
    std::abort();
  }
  return std::move(*result);
}
template <class T>
T decoded_or_die(std::expected<T, std::string>&& result) {
  if (!result) {
    std::cerr << result.error() << '\n';
    std::abort();
  }
  return std::move(*result);
}
void check(Status status) {
  if (!status) {
    std::cerr << status.error().text() << '\n';
    std::abort();
  }
}

// Peak resident memory since the last reset, in bytes (Linux: clear_refs 5 resets the peak).
void reset_peak_memory() { std::ofstream("/proc/self/clear_refs") << "5"; }
double status_bytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::stod(line.substr(field.size() + 1)) * 1024;
    }
  }
  return 0;
}
double peak_memory_bytes() { return status_bytes("VmHWM"); }

// The kernel keeps no peak of the anonymous and the file-backed parts of the resident set apart,
// so a thread samples both while the measured code runs. Anonymous memory is what the code holds
// itself (LMDB's dirty pages of a write transaction included); file pages are the mapped store,
// which the kernel can drop under pressure.
class ResidentSetSampler {
 public:
  // Heap left free by earlier work goes back to the system first, so that the step's own use shows.
  ResidentSetSampler() {
    ::malloc_trim(0);
    anon_baseline_ = status_bytes("RssAnon");
    file_baseline_ = status_bytes("RssFile");
    sampler_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        sample();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  // Growth of each part over its value when sampling began, at its highest.
  double anon_growth() { return stop_and_sample(), anon_peak_ - anon_baseline_; }
  double file_growth() { return stop_and_sample(), file_peak_ - file_baseline_; }

 private:
  void sample() {
    anon_peak_ = std::max(anon_peak_.load(), status_bytes("RssAnon"));
    file_peak_ = std::max(file_peak_.load(), status_bytes("RssFile"));
  }
  void stop_and_sample() {
    if (sampler_.joinable()) {
      sampler_.request_stop();
      sampler_.join();
      sample();
    }
  }

  double anon_baseline_ = 0;
  double file_baseline_ = 0;
  std::atomic<double> anon_peak_{0};
  std::atomic<double> file_peak_{0};
  std::jthread sampler_;
};

void report(benchmark::State& state, double peak_bytes) {
  const auto objects = static_cast<double>(dump().lines.size());
  state.counters["objects_per_s"] = benchmark::Counter(objects, benchmark::Counter::kIsRate);
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(dump().bytes) / 1e6, benchmark::Counter::kIsRate);
  state.counters["peak_bytes_per_object"] = peak_bytes / objects;
}

void report(benchmark::State& state, double peak_bytes, ResidentSetSampler& sampler) {
  report(state, peak_bytes);
  const auto objects = static_cast<double>(dump().lines.size());
  state.counters["peak_anon_bytes_per_object"] = sampler.anon_growth() / objects;
  state.counters["peak_file_bytes_per_object"] = sampler.file_growth() / objects;
}

void import_with_line_importer(const Store& store) {
  auto importer = value_or_die(LineImporter::begin(store));
  for (const std::string& line : dump().lines) check(importer.add_line(line));
  check(importer.commit());
}

void ImportLineImporter(benchmark::State& state) {
  dump();  // read the file before anything is timed or measured
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDirectory directory;
    const Store store = value_or_die(Store::open(directory.path.string()));
    reset_peak_memory();
    const double baseline = peak_memory_bytes();
    state.ResumeTiming();
    import_with_line_importer(store);
    state.PauseTiming();
    report(state, peak_memory_bytes() - baseline);
    state.ResumeTiming();
  }
}

void ImportInputOrderPutFloor(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDirectory directory;
    const Store store = value_or_die(Store::open(directory.path.string()));
    std::vector<RawObjectRecord> records;
    std::vector<std::string> encoded;
    for (const std::string& line : dump().lines) {
      records.push_back(decoded_or_die(decode_raw_object_record(line)));
      encoded.push_back(encode_raw_object_record(records.back()));
    }
    reset_peak_memory();
    const double baseline = peak_memory_bytes();
    state.ResumeTiming();
    auto txn = value_or_die(store.begin_write());
    for (std::size_t i = 0; i < records.size(); ++i) {
      const RawObjectRecord& record = records[i];
      const IdBytes id(record.id);
      check(txn.put(store.primary, id.view(), encoded[i]));
      for (std::uint64_t referenced : record.references) check(txn.put(store.referrers, IdBytes(referenced).view(), id.view()));
      check(txn.put(store.types, record.type, id.view()));
      check(txn.put(store.types, Type::kAllTypesText, id.view()));
      const auto entry = SizeIndexEntry{record.size, record.id}.encode();
      check(txn.put(store.types_size_index, record.type, entry.view()));
      check(txn.put(store.types_size_index, Type::kAllTypesText, entry.view()));
    }
    check(txn.commit());
    state.PauseTiming();
    report(state, peak_memory_bytes() - baseline);
    state.ResumeTiming();
  }
}

void PostImportFloor(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDirectory directory;
    const Store store = value_or_die(Store::open(directory.path.string()));
    import_with_line_importer(store);
    reset_peak_memory();
    const double baseline = peak_memory_bytes();
    ResidentSetSampler sampler;
    state.ResumeTiming();
    auto snapshot = value_or_die(store.begin_read());
    auto writes = value_or_die(store.begin_write());
    auto records = value_or_die(Cursor::open(snapshot, store.primary));
    std::string encoded;
    for (auto entry = value_or_die(records.move(MDB_FIRST)); entry; entry = value_or_die(records.move(MDB_NEXT))) {
      RawObjectRecord record = decoded_or_die(decode_raw_object_record(entry->value));
      record.subtree_size = record.size;
      encoded.clear();
      append_raw_object_record(encoded, record);
      check(writes.put(store.primary, entry->key, encoded));
      const auto index_entry = SizeIndexEntry{record.size, record.id}.encode();
      check(writes.put(store.types_subtree_size_index, record.type, index_entry.view()));
      check(writes.put(store.types_subtree_size_index, Type::kAllTypesText, index_entry.view()));
    }
    check(writes.commit());
    state.PauseTiming();
    report(state, peak_memory_bytes() - baseline, sampler);
    state.ResumeTiming();
  }
}

void PostImport(benchmark::State& state) {
  const auto precision = static_cast<EstimatorPrecision>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDirectory directory;
    auto explorer = value_or_die(HeapDumpExplorer::open(directory.path.string()));
    import_with_line_importer(explorer->store());
    reset_peak_memory();
    const double baseline = peak_memory_bytes();
    ResidentSetSampler sampler;
    state.ResumeTiming();
    check(explorer->run_post_import_processing(precision));
    state.PauseTiming();
    report(state, peak_memory_bytes() - baseline, sampler);
    state.ResumeTiming();
  }
}

BENCHMARK(ImportLineImporter)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ImportInputOrderPutFloor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PostImportFloor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
// Process CPU time: the step may use a second thread (the sampler's share is negligible).
BENCHMARK(PostImport)
    ->ArgName("precision")
    ->DenseRange(0, 4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace vesker

BENCHMARK_MAIN();
