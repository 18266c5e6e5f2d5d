// Decoding speed of stored records, for the full record and its two views,
// against simdjson's On-Demand API extracting the same fields into the same
// structs from the same bytes.
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"

namespace {

using vesker::ObjectRecordNoValue;
using vesker::ObjectSummary;
using vesker::RawObjectRecord;

// Records shaped like a CPython heap: a few common types, ids near the
// addresses CPython hands out, mostly short references lists and short values.
std::vector<std::string> make_records() {
  constexpr int kCount = 20000;
  std::mt19937_64 random(20240611);
  const char* const types[] = {"builtins.str",   "builtins.dict", "builtins.function", "builtins.tuple",
                               "builtins.list",  "builtins.int",  "builtins.type",     "builtins.cell",
                               "builtins.code",  "builtins.set",  "builtins.module",   "builtins.method"};
  const char* const words[] = {"__name__", "__init__", "self", "os.path", "encoding", "utf-8", "<prefix>/lib", "x"};
  std::vector<std::string> out;
  out.reserve(kCount);
  for (int i = 0; i < kCount; ++i) {
    RawObjectRecord record;
    record.id = 140000000000000ULL + (random() % 4000000000ULL) * 16;
    record.type = types[random() % std::size(types)];
    const int references = random() % 4 == 0 ? static_cast<int>(random() % 21) : static_cast<int>(random() % 4);
    for (int r = 0; r < references; ++r) record.references.push_back(140000000000000ULL + (random() % 4000000000ULL) * 16);
    switch (random() % 4) {
      case 0:
        break;
      case 1:
        record.value = std::to_string(random() % 100000);
        break;
      default: {
        std::string text = words[random() % std::size(words)];
        if (random() % 10 == 0) text += random() % 2 ? "\n" : "\"quoted\"";
        text += words[random() % std::size(words)];
        record.value = std::move(text);
      }
    }
    record.size = 16 + random() % 1200;
    if (random() % 2) record.subtree_size = record.size + random() % 100000;
    out.push_back(vesker::encode_raw_object_record(record));
  }
  return out;
}

const std::vector<std::string>& records() {
  static const std::vector<std::string> all = make_records();
  return all;
}

const std::vector<simdjson::padded_string>& padded_records() {
  static const std::vector<simdjson::padded_string> all = [] {
    std::vector<simdjson::padded_string> out;
    for (const std::string& text : records()) out.emplace_back(text);
    return out;
  }();
  return all;
}

std::size_t total_bytes() {
  std::size_t bytes = 0;
  for (const std::string& text : records()) bytes += text.size();
  return bytes;
}

void set_counters(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records().size()));
}

template <auto decode>
void BM_Vesker(benchmark::State& state) {
  const auto& inputs = records();
  for (auto _ : state) {
    for (const std::string& text : inputs) {
      auto record = decode(text);
      if (!record) state.SkipWithError(record.error().c_str());
      benchmark::DoNotOptimize(record);
    }
  }
  set_counters(state);
}

// ---- simdjson: the same fields into the same structs ------------------------------

template <class Record>
simdjson::error_code read_with_simdjson(simdjson::ondemand::parser& parser, const simdjson::padded_string& text,
                                        Record& record) {
  constexpr bool kReferences = !std::is_same_v<Record, ObjectSummary>;
  constexpr bool kValue = !std::is_same_v<Record, ObjectRecordNoValue>;
  simdjson::ondemand::document doc;
  if (auto error = parser.iterate(text).get(doc)) return error;
  simdjson::ondemand::object object;
  if (auto error = doc.get_object().get(object)) return error;
  for (auto field : object) {
    simdjson::ondemand::raw_json_string key;
    if (auto error = field.key().get(key)) return error;
    simdjson::ondemand::value value = field.value();
    if (key == "id") {
      if (auto error = value.get_uint64().get(record.id)) return error;
    } else if (key == "type") {
      std::string_view type;
      if (auto error = value.get_string().get(type)) return error;
      record.type.assign(type);
    } else if (key == "size") {
      if (auto error = value.get_uint64().get(record.size)) return error;
    } else if (key == "subtree_size") {
      if (value.is_null()) {
        record.subtree_size.reset();
      } else if (auto error = value.get_uint64().get(record.subtree_size.emplace())) {
        return error;
      }
    } else if (key == "references") {
      if constexpr (kReferences) {
        simdjson::ondemand::array array;
        if (auto error = value.get_array().get(array)) return error;
        for (auto element : array) {
          std::uint64_t id;
          if (auto error = element.get_uint64().get(id)) return error;
          record.references.push_back(id);
        }
      }
    } else if (key == "value") {
      if constexpr (kValue) {
        if (value.is_null()) {
          record.value.reset();
        } else {
          std::string_view text_value;
          if (auto error = value.get_string().get(text_value)) return error;
          record.value.emplace(text_value);
        }
      }
    }
  }
  return simdjson::SUCCESS;
}

template <class Record>
void BM_Simdjson(benchmark::State& state) {
  const auto& inputs = padded_records();
  simdjson::ondemand::parser parser;
  for (auto _ : state) {
    for (const simdjson::padded_string& text : inputs) {
      Record record;
      if (read_with_simdjson(parser, text, record) != simdjson::SUCCESS) state.SkipWithError("simdjson failed");
      benchmark::DoNotOptimize(record);
    }
  }
  set_counters(state);
}

BENCHMARK(BM_Vesker<vesker::decode_raw_object_record>)->Name("RawObjectRecord/vesker");
BENCHMARK(BM_Simdjson<RawObjectRecord>)->Name("RawObjectRecord/simdjson");
BENCHMARK(BM_Vesker<vesker::decode_object_record_no_value>)->Name("ObjectRecordNoValue/vesker");
BENCHMARK(BM_Simdjson<ObjectRecordNoValue>)->Name("ObjectRecordNoValue/simdjson");
BENCHMARK(BM_Vesker<vesker::decode_object_summary>)->Name("ObjectSummary/vesker");
BENCHMARK(BM_Simdjson<ObjectSummary>)->Name("ObjectSummary/simdjson");

void BM_Encode(benchmark::State& state) {
  std::vector<RawObjectRecord> decoded;
  for (const std::string& text : records()) decoded.push_back(*vesker::decode_raw_object_record(text));
  std::string out;
  for (auto _ : state) {
    for (const RawObjectRecord& record : decoded) {
      out.clear();
      vesker::append_raw_object_record(out, record);
      benchmark::DoNotOptimize(out.data());
    }
  }
  set_counters(state);
}
BENCHMARK(BM_Encode)->Name("RawObjectRecord/encode");

// Prints, after the usual table, how each view compares with simdjson.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto bytes = run.counters.find("bytes_per_second");
      if (bytes != run.counters.end()) speed_[run.benchmark_name()] = bytes->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    // On-Demand chooses its kernel when this file is compiled: a baseline x86-64
    // build gets the scalar fallback, -march=haswell the AVX2 one.
    std::printf("\nsimdjson On-Demand kernel: %s\n", SIMDJSON_STRINGIFY(SIMDJSON_BUILTIN_IMPLEMENTATION));
    std::printf("records: %zu, %.1f bytes on average\n", records().size(),
                static_cast<double>(total_bytes()) / static_cast<double>(records().size()));
    for (const char* view : {"RawObjectRecord", "ObjectRecordNoValue", "ObjectSummary"}) {
      const auto ours = speed_.find(std::string(view) + "/vesker");
      const auto theirs = speed_.find(std::string(view) + "/simdjson");
      if (ours == speed_.end() || theirs == speed_.end()) continue;
      std::printf("%-20s vesker %8.1f MB/s  simdjson %8.1f MB/s  ratio %.2f\n", view, ours->second / 1e6,
                  theirs->second / 1e6, ours->second / theirs->second);
    }
  }

 private:
  std::map<std::string, double> speed_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
