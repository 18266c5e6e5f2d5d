#include "core/suspects/leak_suspects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dominators/retained_queries.h"
#include "core/dominators/retained_store.h"
#include "core/importer/line_importer.h"
#include "support/temporary_store.h"

namespace vesker::suspects {
namespace {

using testing::TemporaryDirectory;

std::string record(std::uint64_t id, const std::string& type, const std::string& references, std::uint64_t size,
                   const std::string& value = "") {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + type + "\",\"references\":" + references +
         (value.empty() ? "" : ",\"value\":\"" + value + "\"") + ",\"size\":" + std::to_string(size) + "}";
}

std::string ids(std::uint64_t first, std::uint64_t count) {
  std::string text = "[";
  for (std::uint64_t i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += std::to_string(first + i);
  }
  return text + "]";
}

// Imports the lines, stores the reference names and computes retained sizes.
std::shared_ptr<const AnalysisStore> analysed(const TemporaryDirectory& directory, const std::vector<std::string>& lines,
                                              const std::vector<std::pair<std::uint64_t, dominators::ReferenceNames>>&
                                                  names) {
  {
    Store store = testing::open_store(directory.path());
    auto importer = LineImporter::begin(store).value();
    for (const std::string& line : lines) EXPECT_TRUE(importer.add_line(line));
    EXPECT_TRUE(importer.commit());
  }
  auto store = AnalysisStore::open(directory.path().string()).value();
  {
    Transaction txn = store->store.begin_write().value();
    for (const auto& [id, listed] : names) EXPECT_TRUE(dominators::put_reference_names(txn, *store, id, listed));
    EXPECT_TRUE(txn.commit());
  }
  Progress none;
  EXPECT_TRUE(dominators::compute_retained_sizes(*store, none));
  return store;
}

// The module's namespace holds a list of a hundred items: the walk goes down while one child keeps
// most of its parent and stops at the list, where the memory spreads over the items.
TEST(LeakSuspects, TheAccumulationPointIsWhereTheMemorySpreads) {
  TemporaryDirectory directory;
  std::vector<std::string> lines = {record(1, "builtins.module", "[2]", 72, "__main__"),
                                    record(2, "builtins.dict", "[3]", 232), record(3, "builtins.list", ids(100, 100), 856),
                                    record(9, "builtins.module", "[]", 72, "other")};
  for (std::uint64_t i = 100; i < 200; ++i) lines.push_back(record(i, "app.Item", "[]", 100));
  const auto store = analysed(directory, lines, {{1, {".__dict__"}}, {2, {"['items']"}}});
  const Transaction txn = store->store.begin_read().value();
  const SuspectReport report = find_suspects(txn, *store, {}).value();
  EXPECT_EQ(report.heap, 72 + 232 + 856 + 72 + 100 * 100);
  ASSERT_EQ(report.suspects.size(), 1u);
  const Suspect& suspect = report.suspects[0];
  EXPECT_EQ(suspect.id, 3u);
  EXPECT_EQ(suspect.retained, 856u + 100 * 100);
  EXPECT_EQ(suspect.descent, (std::vector<std::uint64_t>{1, 2, 3}));
  ASSERT_TRUE(suspect.held);
  EXPECT_EQ(suspect.held->type, "app.Item");
  EXPECT_EQ(suspect.held->count, 100u);
  EXPECT_EQ(suspect.path, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(suspect.names[2], "['items']");
  EXPECT_EQ(suspect.signature_text, "builtins.module.__dict__ -> builtins.dict['items'] -> builtins.list");

  // The same path in another dump, with other ids and sizes, has the same signature.
  TemporaryDirectory other_directory;
  std::vector<std::string> other = {record(11, "builtins.module", "[12]", 72, "__main__"),
                                    record(12, "builtins.dict", "[13]", 232), record(13, "builtins.list", ids(500, 50), 456)};
  for (std::uint64_t i = 500; i < 550; ++i) other.push_back(record(i, "app.Item", "[]", 300));
  const auto second = analysed(other_directory, other, {{11, {".__dict__"}}, {12, {"['items']"}}});
  const Transaction second_txn = second->store.begin_read().value();
  EXPECT_EQ(find_suspects(second_txn, *second, {}).value().suspects.at(0).signature, suspect.signature);
}

// Sessions each held by two modules hang off the roots one by one; together they are a suspect.
// The interpreter's own objects hanging there (modules, classes) are not.
TEST(LeakSuspects, TopLevelObjectsOfOneTypeAreSuspectedTogether) {
  TemporaryDirectory directory;
  std::vector<std::string> lines = {record(1, "builtins.module", ids(100, 50), 72, "a"),
                                    record(2, "builtins.module", ids(100, 50), 72, "b")};
  for (std::uint64_t i = 100; i < 150; ++i) lines.push_back(record(i, "app.Session", "[]", 200));
  for (std::uint64_t i = 300; i < 340; ++i) lines.push_back(record(i, "builtins.type", "[]", 100));
  const auto store = analysed(directory, lines, {});
  const Transaction txn = store->store.begin_read().value();
  const SuspectReport report = find_suspects(txn, *store, {}).value();
  ASSERT_EQ(report.suspects.size(), 1u);
  EXPECT_EQ(report.suspects[0].count, 50u);
  EXPECT_EQ(report.suspects[0].retained, 50u * 200);
  EXPECT_EQ(report.suspects[0].held->type, "app.Session");
}

}  // namespace
}  // namespace vesker::suspects
