#include "core/queries/tolerant_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/dominators/heap_graph.h"
#include "core/explorer/heap_dump_explorer.h"
#include "core/importer/line_importer.h"
#include "core/queries/common_reachable.h"
#include "core/queries/path_search.h"
#include "support/temporary_store.h"

namespace vesker {
namespace {

using State = TolerantSummary::State;

std::vector<std::pair<std::uint64_t, State>> states(const std::vector<TolerantSummary>& summaries) {
  std::vector<std::pair<std::uint64_t, State>> result;
  for (const TolerantSummary& summary : summaries) {
    result.emplace_back(summary.id, summary.state);
    EXPECT_EQ(summary.summary.has_value(), summary.state != State::kMissing);
  }
  return result;
}

// A dump that lost the record of 99 and has two records of 3: the first referred to 2.
class TolerantLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    explorer_ = HeapDumpExplorer::open(directory_.path().string()).value();
    auto importer = LineImporter::begin(store()).value();
    for (const char* line : {R"({"id":1,"type":"A","references":[2,99],"size":1})",
                             R"({"id":2,"type":"A","references":[],"size":10})",
                             R"({"id":3,"type":"B","references":[2],"size":100})",
                             R"({"id":3,"type":"C","references":[],"size":1000})",
                             R"({"id":4,"type":"A","references":[1,3],"size":10000})"}) {
      ASSERT_TRUE(importer.add_line(line));
    }
    ASSERT_TRUE(importer.commit());
    ASSERT_TRUE(explorer_->run_post_import_processing(EstimatorPrecision::exact));
  }
  const Store& store() const { return explorer_->store(); }

  testing::TemporaryDirectory directory_;
  std::unique_ptr<HeapDumpExplorer> explorer_;
};

TEST_F(TolerantLookupTest, MarksMissingReferencesAndStaleReferrers) {
  const TolerantObject first = get_object_tolerant(store(), 1).value().value();
  EXPECT_EQ(first.summary.subtree_size, 11u);
  EXPECT_EQ(states(first.references), (std::vector<std::pair<std::uint64_t, State>>{{2, State::kPresent},
                                                                                     {99, State::kMissing}}));
  const TolerantObject second = get_object_tolerant(store(), 2).value().value();
  EXPECT_EQ(states(second.referrers), (std::vector<std::pair<std::uint64_t, State>>{{1, State::kPresent},
                                                                                    {3, State::kStale}}));
  EXPECT_EQ(second.referrers[1].summary->type, "C");
  EXPECT_FALSE(get_object_tolerant(store(), 99).value().has_value());

  const ReferenceCheck check = check_references(store()).value();
  EXPECT_EQ(check.records, 4u);
  EXPECT_EQ(check.dangling_references, 1u);
}

TEST_F(TolerantLookupTest, SearchesPassByMissingRecordsOnlyWhenAsked) {
  const auto strict_path = find_path_between_objects(store(), 4, 2, {});
  ASSERT_FALSE(strict_path);
  EXPECT_EQ(strict_path.error().text(), "Decoding error: Missing record for ID 99");
  const auto path = find_path_between_objects(store(), 4, 2, {}, MissingRecords::kSkip).value().value();
  ASSERT_EQ(path.size(), 3u);
  EXPECT_EQ(path[1].id, 1u);

  EXPECT_FALSE(find_largest_common_reachable_object(store(), 4, 1));
  EXPECT_EQ(find_largest_common_reachable_object(store(), 4, 1, MissingRecords::kSkip).value(), 1u);
}

// The import's facts take the count from the graph the subtree step reads, instead of a pass
// of their own: both must count every naming of a missing id, into modules too, and nothing a
// replaced record named.
TEST(ReferenceCheck, ReadingTheGraphCountsWhatAPassOverTheRecordsCounts) {
  testing::TemporaryDirectory directory;
  auto explorer = HeapDumpExplorer::open(directory.path().string()).value();
  auto importer = LineImporter::begin(explorer->store()).value();
  for (const char* line : {R"({"id":1,"type":"builtins.module","references":[2,98],"size":1})",
                           R"({"id":2,"type":"A","references":[99,1,99],"size":1})",
                           R"({"id":3,"type":"A","references":[97],"size":1})",
                           R"({"id":3,"type":"A","references":[1,2],"size":1})",
                           R"({"id":4,"type":"builtins.module","references":[96,1],"size":1})"}) {
    ASSERT_TRUE(importer.add_line(line));
  }
  ASSERT_TRUE(importer.commit());
  const Store& store = explorer->store();
  auto txn = store.begin_read().value();
  Progress quiet;
  const dominators::HeapGraph graph =
      dominators::read_heap_graph(store, txn, quiet, {.references_into_modules = false, .predecessors = false})
          .value();
  EXPECT_EQ(graph.dangling_references, 4u);
  EXPECT_EQ(graph.dangling_references, check_references(store, txn).value().dangling_references);
}

}  // namespace
}  // namespace vesker
