#include "core/queries/type_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"
#include "core/importer/line_importer.h"
#include "support/temporary_store.h"

namespace vesker {
namespace {

constexpr const char* kBadValsize = "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size";

std::vector<std::uint64_t> ids_of(const std::vector<ObjectSummary>& summaries) {
  std::vector<std::uint64_t> ids;
  for (const ObjectSummary& summary : summaries) ids.push_back(summary.id);
  return ids;
}

class TypeListingTest : public ::testing::Test {
 protected:
  TypeListingTest() : store_(testing::open_store(directory_.path())) {}

  // Objects 1..count of type "T", object i of size i % 7.
  void import_objects(std::uint64_t count) {
    auto importer = LineImporter::begin(store_).value();
    for (std::uint64_t id = 1; id <= count; ++id) {
      ASSERT_TRUE(importer.add_line(R"({"id":)" + std::to_string(id) + R"(,"type":"T","references":[],"size":)" +
                                    std::to_string(id % 7) + "}"));
    }
    ASSERT_TRUE(importer.commit());
    put(store_.type_summaries, "T", TypeSummary{count, 0}.encode().view());
  }

  void put(Database db, std::string_view key, std::string_view value) {
    auto txn = store_.begin_write().value();
    ASSERT_TRUE(txn.put(db, key, value));
    ASSERT_TRUE(txn.commit());
  }

  std::vector<std::uint64_t> page_of(std::optional<std::uint64_t> page) {
    return ids_of(get_objects_by_type(store_, Type::named("T"), page).value());
  }
  std::vector<std::uint64_t> size_page_of(std::optional<std::uint64_t> page) {
    return ids_of(get_objects_by_type_ordered_by_size(store_, Type::named("T"), false, page).value());
  }

  testing::TemporaryDirectory directory_;
  Store store_;
};

TEST_F(TypeListingTest, PagesOfAThousandEndExactlyAtTheCount) {
  import_objects(1000);
  EXPECT_EQ(get_page_count_for_type(store_, Type::named("T")).value(), 1u);
  EXPECT_EQ(page_of(0).size(), 1000u);
  EXPECT_TRUE(page_of(1).empty());
  EXPECT_EQ(size_page_of(0).size(), 1000u);
  EXPECT_TRUE(size_page_of(1).empty());

  import_objects(1001);
  EXPECT_EQ(get_count_for_type(store_, Type::named("T")).value(), 1001u);
  EXPECT_EQ(get_page_count_for_type(store_, Type::named("T")).value(), 2u);
  const std::vector<std::uint64_t> whole = page_of(std::nullopt);
  ASSERT_EQ(whole.size(), 1001u);
  std::vector<std::uint64_t> pages = page_of(0);
  ASSERT_EQ(pages.size(), 1000u);
  ASSERT_EQ(page_of(1).size(), 1u);
  pages.push_back(page_of(1).front());
  EXPECT_EQ(pages, whole);
  EXPECT_TRUE(page_of(2).empty());

  // Largest size first (6: ids 6, 13, 20, ...), equal sizes by ascending id.
  const std::vector<std::uint64_t> by_size = size_page_of(std::nullopt);
  ASSERT_EQ(by_size.size(), 1001u);
  EXPECT_EQ(std::vector<std::uint64_t>(by_size.begin(), by_size.begin() + 3), (std::vector<std::uint64_t>{6, 13, 20}));
  EXPECT_EQ(by_size.back(), 1001u);
  EXPECT_EQ(size_page_of(1), std::vector<std::uint64_t>{1001});
}

TEST_F(TypeListingTest, EveryPageIsItsSliceOfTheWholeList) {
  // Thousands of entries span many LMDB pages, so far pages start inside a later one.
  import_objects(4321);
  const std::vector<std::uint64_t> whole = page_of(std::nullopt);
  const std::vector<std::uint64_t> whole_by_size = size_page_of(std::nullopt);
  ASSERT_EQ(whole.size(), 4321u);
  ASSERT_EQ(whole_by_size.size(), 4321u);
  for (std::uint64_t page = 0; page <= 5; ++page) {
    const std::size_t begin = std::min<std::size_t>(page * kPageSize, whole.size());
    const std::size_t end = std::min<std::size_t>(begin + kPageSize, whole.size());
    EXPECT_EQ(page_of(page), std::vector<std::uint64_t>(whole.begin() + begin, whole.begin() + end)) << page;
    EXPECT_EQ(size_page_of(page),
              std::vector<std::uint64_t>(whole_by_size.begin() + begin, whole_by_size.begin() + end)) << page;
  }
}

TEST_F(TypeListingTest, KeysWithOneOrTwoValuesHaveOnlyAFirstPage) {
  import_objects(1);
  EXPECT_EQ(page_of(0), std::vector<std::uint64_t>{1});
  EXPECT_TRUE(page_of(1).empty());
  import_objects(2);
  EXPECT_EQ(size_page_of(0), (std::vector<std::uint64_t>{2, 1}));
  EXPECT_TRUE(size_page_of(1).empty());
}

TEST_F(TypeListingTest, APageWhoseSkipCountDoesNotFitIn64BitsIsPastTheEnd) {
  // With a wrapping multiplication, page 18446744073709552 would skip 384 entries only.
  import_objects(1001);
  constexpr std::uint64_t kLastRepresentable = std::numeric_limits<std::uint64_t>::max() / kPageSize;
  for (std::uint64_t page : {kLastRepresentable, kLastRepresentable + 1, std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_TRUE(page_of(page).empty()) << page;
    EXPECT_TRUE(size_page_of(page).empty()) << page;
  }
}

TEST_F(TypeListingTest, AbsentTypeIsEmptyAndTheEmptyNameIsRefusedByTheStore) {
  import_objects(3);
  const Type absent = Type::named("U");
  EXPECT_EQ(get_count_for_type(store_, absent).value(), 0u);
  EXPECT_EQ(get_page_count_for_type(store_, absent).value(), 0u);
  EXPECT_TRUE(get_objects_by_type(store_, absent, 0).value().empty());
  EXPECT_TRUE(get_objects_by_type(store_, absent, std::nullopt).value().empty());
  EXPECT_TRUE(get_objects_by_type_ordered_by_size(store_, absent, true, 0).value().empty());

  const Type empty = Type::named("");
  EXPECT_EQ(get_count_for_type(store_, empty).error().text(), kBadValsize);
  EXPECT_EQ(get_page_count_for_type(store_, empty).error().text(), kBadValsize);
  EXPECT_EQ(get_objects_by_type(store_, empty, std::nullopt).error().text(), kBadValsize);
  // Also for a page so far out that nothing would be listed anyway.
  EXPECT_EQ(get_objects_by_type(store_, empty, std::numeric_limits<std::uint64_t>::max()).error().text(), kBadValsize);
  EXPECT_EQ(get_objects_by_type_ordered_by_size(store_, empty, false, 0).error().text(), kBadValsize);
  EXPECT_EQ(get_objects_by_type_ordered_by_size(store_, empty, true, 0).error().text(), kBadValsize);
}

TEST_F(TypeListingTest, OnlyKeptEntriesReadTheirRecords) {
  import_objects(1000);
  // Listed first in byte order of the little-endian ids, but without a primary record.
  put(store_.types, "T", IdBytes(0).view());
  put(store_.types_size_index, "T", SizeIndexEntry{100, 5000}.encode().view());
  // 767 (FF 02 ...) sorts last by bytes, 994 (size 0, highest id) last by size.
  EXPECT_EQ(page_of(1), std::vector<std::uint64_t>{767});
  EXPECT_EQ(size_page_of(1), std::vector<std::uint64_t>{994});
  EXPECT_EQ(get_objects_by_type(store_, Type::named("T"), 0).error().text(),
            "error while decoding: Decoding error: Missing record for ID 0");
  EXPECT_EQ(get_objects_by_type_ordered_by_size(store_, Type::named("T"), false, 0).error().text(),
            "error while decoding: Decoding error: Missing record for ID 5000");
}

TEST_F(TypeListingTest, StoredValuesOfTheWrongLengthAreDecodingErrors) {
  import_objects(2);
  put(store_.types_subtree_size_index, "T", IdBytes(1).view());
  EXPECT_EQ(get_objects_by_type_ordered_by_size(store_, Type::named("T"), true, 0).error().text(),
            "error while decoding: Invalid byte length for SizeIndexEntry: expected 16, got 8");
  put(store_.type_summaries, "T", "short");
  EXPECT_EQ(get_count_for_type(store_, Type::named("T")).error().text(),
            "error while decoding: Invalid byte length for TypeSummary: expected 16, got 5");
  EXPECT_EQ(get_type_summaries(store_).error().text(),
            "error while decoding: Invalid byte length for TypeSummary: expected 16, got 5");
}

TEST_F(TypeListingTest, SummariesComeInKeyByteOrderWithTheAllTypesRowAmongThem) {
  EXPECT_TRUE(get_type_summaries(store_).value().empty());
  for (const char* key : {"b", "All Types", "ab", "a", "Z"}) put(store_.type_summaries, key, TypeSummary{1, 2}.encode().view());
  const auto rows = get_type_summaries(store_).value();
  std::vector<std::string> keys;
  for (const auto& [type, summary] : rows) {
    keys.emplace_back(type.bytes());
    EXPECT_EQ(summary, (TypeSummary{1, 2}));
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"All Types", "Z", "a", "ab", "b"}));
}

}  // namespace
}  // namespace vesker
