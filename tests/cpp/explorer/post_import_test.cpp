#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/importer/line_importer.h"
#include "support/temporary_store.h"

namespace vesker {
namespace {

using testing::contents;
using testing::TemporaryDirectory;

constexpr EstimatorPrecision kNoEstimates = EstimatorPrecision::no_estimates, kLow = EstimatorPrecision::low,
                             kExact = EstimatorPrecision::exact;

class PostImportTest : public ::testing::Test {
 protected:
  void SetUp() override { explorer_ = HeapDumpExplorer::open(directory_.path().string()).value(); }

  void import(const std::vector<std::string>& lines) {
    auto importer = LineImporter::begin(store()).value();
    for (const std::string& line : lines) ASSERT_TRUE(importer.add_line(line));
    ASSERT_TRUE(importer.commit());
  }
  const Store& store() const { return explorer_->store(); }

  std::map<std::uint64_t, std::optional<std::uint64_t>> subtree_sizes() const {
    std::map<std::uint64_t, std::optional<std::uint64_t>> sizes;
    for (const auto& [key, value] : contents(store(), store().primary)) {
      sizes[load_u64_le(key.data())] = decode_raw_object_record(value).value().subtree_size;
    }
    return sizes;
  }
  std::map<std::string, TypeSummary> summaries() const {
    std::map<std::string, TypeSummary> rows;
    for (const auto& [key, value] : contents(store(), store().type_summaries)) rows[key] = TypeSummary::decode(value).value();
    return rows;
  }

  TemporaryDirectory directory_;
  std::unique_ptr<HeapDumpExplorer> explorer_;
};

std::string record(std::uint64_t id, const char* type, const char* references, std::uint64_t size) {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + type + "\",\"references\":" + references +
         ",\"size\":" + std::to_string(size) + "}";
}

// A diamond 1 -> {2, 3} -> 4, a cycle 5 <-> 6 reaching 4, a self-loop on 7, a module 8 that
// 1 refers to (never entered) and that refers to 2, and a dangling reference from 6 to 99.
std::vector<std::string> small_heap() {
  return {record(1, "A", "[2,3,8]", 1),     record(2, "A", "[4]", 10),       record(3, "B", "[4]", 100),
          record(4, "B", "[]", 1000),       record(5, "C", "[6]", 10000),    record(6, "C", "[5,4,99]", 100000),
          record(7, "C", "[7,7]", 1000000), record(8, "builtins.module", "[2]", 10000000)};
}

TEST_F(PostImportTest, ExactSizesCountEverythingReachableOnceAndSkipModules) {
  import(small_heap());
  ASSERT_TRUE(explorer_->run_post_import_processing(kExact));
  const std::map<std::uint64_t, std::optional<std::uint64_t>> expected = {
      {1, 1111}, {2, 1010}, {3, 1100}, {4, 1000}, {5, 111000}, {6, 111000}, {7, 1000000}, {8, 10001010}};
  EXPECT_EQ(subtree_sizes(), expected);
  // Two index entries per object: under its type and under the all-types key.
  const auto index = contents(store(), store().types_subtree_size_index);
  EXPECT_EQ(index.size(), 16u);
  EXPECT_EQ(summaries().at("All Types"), (TypeSummary{8, 11111111}));
  EXPECT_EQ(summaries().at("B"), (TypeSummary{2, 1100}));
  EXPECT_EQ(summaries().at("builtins.module"), (TypeSummary{1, 10000000}));  // a key's only entry
}

TEST_F(PostImportTest, RewritesEveryRecordWholeAcrossManyChunks) {
  // A chain 1 -> 2 -> ... -> n of records long enough that the rewrites cross many chunks
  // between the thread that re-encodes them and the one that puts them.
  constexpr std::uint64_t n = 20000;
  std::vector<std::string> lines;
  for (std::uint64_t id = 1; id <= n; ++id) {
    // Appended, not `"[" + ...`: GCC 12 warns wrongly (-Wrestrict) about that temporary.
    std::string references = "[";
    if (id < n) references += std::to_string(id + 1);
    references += "]";
    lines.push_back(R"({"id":)" + std::to_string(id) + R"(,"type":"T","references":)" + references +
                    R"(,"value":")" + std::string(100, 'a' + id % 26) + R"(","size":1})");
  }
  import(lines);
  ASSERT_TRUE(explorer_->run_post_import_processing(kExact));
  const auto records = contents(store(), store().primary);
  ASSERT_EQ(records.size(), n);
  for (const auto& [key, value] : records) {
    const std::uint64_t id = load_u64_le(key.data());
    const RawObjectRecord record = decode_raw_object_record(value).value();
    ASSERT_EQ(record.id, id);
    ASSERT_EQ(record.subtree_size, n - id + 1);
    ASSERT_EQ(record.value, std::string(100, 'a' + id % 26));
  }
}

TEST_F(PostImportTest, NoEstimatesWritesSummariesOnly) {
  import(small_heap());
  ASSERT_TRUE(explorer_->run_post_import_processing(kNoEstimates));
  for (const auto& [id, size] : subtree_sizes()) EXPECT_EQ(size, std::nullopt) << id;
  EXPECT_TRUE(contents(store(), store().types_subtree_size_index).empty());
  EXPECT_EQ(summaries().size(), 5u);  // A, B, C, the module type and All Types
}

TEST_F(PostImportTest, SketchSizesAreSharedWithinAComponent) {
  import(small_heap());
  ASSERT_TRUE(explorer_->run_post_import_processing(kLow));
  const auto sizes = subtree_sizes();
  EXPECT_EQ(sizes.at(5), sizes.at(6));
  for (const auto& [id, size] : sizes) EXPECT_TRUE(size.has_value()) << id;
}

// A failure anywhere rolls the whole step back and leaves the import as it was.
TEST_F(PostImportTest, ACorruptRecordRollsEverythingBack) {
  import(small_heap());
  for (const char* corrupt : {R"({"id":3,"type":"B","references":[4],"value":5,"size":100})",
                              R"({"id":3,"type":"B","references":[4 "size":100})"}) {
    {
      auto txn = store().begin_write().value();
      ASSERT_TRUE(txn.put(store().primary, IdBytes(3).view(), corrupt));
      ASSERT_TRUE(txn.commit());
    }
    const auto corrupted = contents(store(), store().primary);
    auto result = explorer_->run_post_import_processing(kExact);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().text().starts_with("error while decoding: ")) << result.error().text();
    EXPECT_EQ(contents(store(), store().primary), corrupted);
    EXPECT_TRUE(contents(store(), store().type_summaries).empty());
    EXPECT_TRUE(contents(store(), store().types_subtree_size_index).empty());
  }
}

TEST_F(PostImportTest, AStoredSizeIndexValueOfTheWrongLengthFailsTheSummaries) {
  import(small_heap());
  {
    auto txn = store().begin_write().value();
    ASSERT_TRUE(txn.put(store().types_size_index, "Z", "short"));
    ASSERT_TRUE(txn.commit());
  }
  auto result = explorer_->run_post_import_processing(kNoEstimates);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "error while decoding: Invalid byte length for SizeIndexEntry: expected 16, got 5");
  EXPECT_TRUE(contents(store(), store().type_summaries).empty());
}

// A chain of `count` objects, each referring to the next.
std::vector<std::string> chain(std::uint64_t count) {
  std::vector<std::string> lines;
  for (std::uint64_t id = 1; id <= count; ++id) {
    // Appended rather than concatenated: GCC 12 at -O3 misreads "[" + string as an overlapping copy.
    std::string references = "[";
    if (id < count) references += std::to_string(id + 1);
    references += "]";
    lines.push_back(record(id, "T", references.c_str(), 1));
  }
  return lines;
}

TEST_F(PostImportTest, ACancelledStepStopsSoonAndLeavesTheImportedStore) {
  import(chain(10 * Progress::kStride));
  const auto imported = contents(store(), store().primary);
  for (const EstimatorPrecision precision : {kNoEstimates, kExact}) {
    // Each call of the check stands for one stride of polls; the third one cancels.
    int calls = 0;
    auto result = explorer_->run_post_import_processing(
        precision, Progress([&](std::uint64_t, std::uint64_t) -> Status {
          if (++calls < 3) return {};
          return fail(Error::cancelled());
        }));
    if (precision == kNoEstimates) {
      // One poll per size index key and page: too few for a check on this store.
      ASSERT_TRUE(result);
      EXPECT_EQ(calls, 0);
      continue;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::cancelled);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(contents(store(), store().primary), imported);
    EXPECT_TRUE(contents(store(), store().types_subtree_size_index).empty());
  }
  // A check that never cancels changes nothing about the result.
  int calls = 0;
  ASSERT_TRUE(explorer_->run_post_import_processing(kExact, Progress([&](std::uint64_t, std::uint64_t) -> Status {
    ++calls;
    return {};
  })));
  EXPECT_GE(calls, 10);
  EXPECT_EQ(subtree_sizes().at(1), 10 * Progress::kStride);
}

TEST_F(PostImportTest, AnEmptyStoreSucceeds) {
  ASSERT_TRUE(explorer_->run_post_import_processing(kExact));
  EXPECT_TRUE(contents(store(), store().type_summaries).empty());
}

}  // namespace
}  // namespace vesker
