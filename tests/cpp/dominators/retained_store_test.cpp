#include "core/dominators/retained_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/importer/line_importer.h"
#include "support/temporary_store.h"

namespace vesker::dominators {
namespace {

using testing::TemporaryDirectory;
using Rows = std::vector<std::pair<std::string, std::string>>;

// A heap of `count` objects with references drawn from a fixed generator: modules, shared
// objects, objects without referrers, and cycles nothing refers to. Enough objects of one type
// that its index key takes several pieces.
std::vector<std::string> heap_lines(std::uint64_t count) {
  static const char* const kTypes[] = {"builtins.dict", "builtins.list", "app.Node", "app.Node", "app.Node"};
  std::uint64_t state = 12345;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  std::vector<std::string> lines;
  for (std::uint64_t i = 1; i <= count; ++i) {
    const bool module = i % 997 == 1;
    std::string references = "[";
    const std::uint64_t fanout = module ? 40 : next() % 4;
    for (std::uint64_t r = 0; r < fanout; ++r) {
      if (r > 0) references += ',';
      // Mostly forward, some back (cycles), now and then to an id without a record.
      const std::uint64_t target = next() % 8 == 0 ? 1 + next() % (count + 50) : i + 1 + next() % 64;
      references += std::to_string(target * 16);
    }
    references += "]";
    const std::string type = module ? "builtins.module" : kTypes[next() % 5];
    lines.push_back("{\"id\":" + std::to_string(i * 16) + ",\"type\":\"" + type + "\",\"references\":" + references +
                    ",\"size\":" + std::to_string(16 + next() % 200) + "}");
  }
  // Two objects that only refer to each other.
  const std::uint64_t a = (count + 100) * 16, b = a + 16;
  lines.push_back("{\"id\":" + std::to_string(a) + ",\"type\":\"app.Node\",\"references\":[" + std::to_string(b) +
                  "],\"size\":40}");
  lines.push_back("{\"id\":" + std::to_string(b) + ",\"type\":\"app.Node\",\"references\":[" + std::to_string(a) +
                  "],\"size\":40}");
  return lines;
}

std::vector<Rows> results(const AnalysisStore& store) {
  return {testing::contents(store.store, store.dominators), testing::contents(store.store, store.dominator_children),
          testing::contents(store.store, store.retained_index), testing::contents(store.store, store.type_retained),
          testing::contents(store.store, store.metadata)};
}

// Split over many small transactions (each ending inside one key's values, too), the writes
// leave the store byte for byte as one transaction does, complete and fresh.
TEST(RetainedStore, SmallTransactionsWriteWhatOneWrites) {
  TemporaryDirectory directory;
  {
    Store store = testing::open_store(directory.path());
    auto importer = LineImporter::begin(store).value();
    for (const std::string& line : heap_lines(150'000)) ASSERT_TRUE(importer.add_line(line));
    ASSERT_TRUE(importer.commit());
  }
  const auto store = AnalysisStore::open(directory.path().string()).value();
  Progress no_progress;
  ASSERT_TRUE(compute_retained_sizes(*store, no_progress, std::numeric_limits<std::size_t>::max()));
  const std::vector<Rows> whole = results(*store);
  ASSERT_GT(whole[0].size(), 140'000u);

  const RetainedRun run = compute_retained_sizes(*store, no_progress, 256 << 10).value();
  EXPECT_GE(run.unreachable, 2u);
  EXPECT_EQ(results(*store), whole);
  const Transaction txn = store->store.begin_read().value();
  EXPECT_EQ(retained_state(txn, *store).value(), RetainedState::fresh);
}

}  // namespace
}  // namespace vesker::dominators
