#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/comparison/comparison.h"
#include "core/comparison/growth.h"
#include "core/comparison/growth_sources.h"
#include "core/importer/line_importer.h"
#include "support/temporary_store.h"

namespace vesker {
namespace {

using testing::TemporaryDirectory;

std::string record(std::uint64_t id, const char* type, const char* references, std::uint64_t size) {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + type + "\",\"references\":" + references +
         ",\"size\":" + std::to_string(size) + "}";
}

Store store_of(const TemporaryDirectory& directory, const std::vector<std::string>& lines) {
  Store store = testing::open_store(directory.path());
  auto importer = LineImporter::begin(store).value();
  for (const std::string& line : lines) EXPECT_TRUE(importer.add_line(line));
  EXPECT_TRUE(importer.commit());
  return store;
}

// Facts from a table; nothing for the ids left out.
class FakeFacts final : public RetainedFacts {
 public:
  // Immediate dominators only.
  static FakeFacts dominators(const std::map<std::uint64_t, std::uint64_t>& dominators) {
    FakeFacts fake;
    for (const auto& [id, dominator] : dominators) fake.facts_[id] = DominatorFacts{dominator, 0};
    return fake;
  }
  // Retained sizes only, every object hanging from the roots.
  static FakeFacts retained_sizes(const std::map<std::uint64_t, std::uint64_t>& sizes) {
    FakeFacts fake;
    for (const auto& [id, size] : sizes) fake.facts_[id] = DominatorFacts{0, size};
    return fake;
  }
  Result<std::optional<DominatorFacts>> facts(std::uint64_t id) const override {
    auto found = facts_.find(id);
    if (found == facts_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::uint64_t, DominatorFacts> facts_;
};

using Row = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                       std::uint64_t>;

std::vector<Row> rows(const Comparison& comparison) {
  std::vector<Row> rows;
  for (const HeldGroup& group : comparison.held) {
    rows.emplace_back(group.type, group.holder_type, group.holders, group.largest_holder, group.count,
                      group.held_count, group.held_size);
  }
  return rows;
}

// A record the store did not write in its own shape (here a value with an escape) goes through
// the general decoder; its short type name must survive the reader being moved around.
TEST(Comparison, RecordsReadByTheGeneralDecoderKeepTheirTypeNames) {
  TemporaryDirectory old_directory, new_directory;
  const std::vector<std::string> lines = {
      R"({"id":1,"type":"builtins.str","references":[],"value":"a\nb","size":51})",
      record(2, "builtins.int", "[]", 28),
  };
  const Store old_store = store_of(old_directory, lines);
  const Store new_store = store_of(new_directory, lines);
  const Comparison comparison = compare_stores(old_store, new_store, {.same_process = true}).value();
  std::vector<std::string> types;
  for (const TypeChange& row : comparison.types) types.push_back(row.type);
  EXPECT_EQ(types, (std::vector<std::string>{"builtins.int", "builtins.str"}));
}

// The cache (2) existed; two responses with their bodies arrived below it, a third hangs from the
// roots, and a body (22) shared by a response and the cache is held by the cache itself. Object 5
// changed its type at the same address, so it is a new object too, held by 1.
TEST(HeldBy, NewSubtreesGoToTheirNearestHolderThatExisted) {
  TemporaryDirectory old_directory, new_directory;
  const Store old_store = store_of(old_directory, {record(1, "R", "[2,5]", 8), record(2, "dict", "[]", 100),
                                                   record(5, "A", "[]", 7)});
  const Store new_store = store_of(
      new_directory, {record(1, "R", "[2,5]", 8), record(2, "dict", "[10,11,22]", 200), record(5, "B", "[]", 7),
                      record(10, "Resp", "[20,22]", 50), record(11, "Resp", "[21]", 50), record(20, "str", "[]", 30),
                      record(21, "str", "[]", 31), record(22, "str", "[]", 32), record(30, "Resp", "[]", 50)});
  const std::vector<Row> expected = {
      {"Resp", "dict", 1, 2, 2, 4, 161},
      {"Resp", "", 1, 0, 1, 1, 50},
      {"str", "dict", 1, 2, 1, 1, 32},
      {"B", "R", 1, 1, 1, 1, 7},
  };

  const auto by_referrers = compare_stores(old_store, new_store, {.same_process = true}).value();
  EXPECT_EQ(rows(by_referrers), expected);

  const FakeFacts old_dominators = FakeFacts::dominators({{1, 0}, {2, 1}, {5, 1}});
  const FakeFacts new_dominators =
      FakeFacts::dominators({{1, 0}, {2, 1}, {5, 1}, {10, 2}, {11, 2}, {20, 10}, {21, 11}, {22, 2}});
  const auto by_dominators =
      compare_stores(old_store, new_store,
                     {.same_process = true, .old_retained = &old_dominators, .new_retained = &new_dominators})
          .value();
  EXPECT_EQ(rows(by_dominators), expected);

  const auto across = compare_stores(old_store, new_store, {.same_process = false}).value();
  EXPECT_TRUE(across.held.empty());
  EXPECT_EQ(across.total.added.count, 0u);
  EXPECT_EQ(std::tuple(across.total.old_side.count, across.total.new_side.count), std::tuple(3u, 9u));
}

// Three dumps of one process. The tuple at 10 keeps its type and size but refers to another
// string from the second dump on: a tuple never changes, so it is another tuple, and its jump in
// retained size is no growth. The dict at 40 grows, but the object that held it (1) lets go of it
// and another (2) holds a dict there from then on: another dict, growing only from its birth. The
// dict at 50 stays with its holder and grows: a true growth from the start. So does the list at
// 60, which its instance (3) holds through its `__dict__` (61) from the second dump on.
TEST(ObjectIdentity, AReusedAddressIsAnotherObjectInGrowthAndDiff) {
  TemporaryDirectory d1, d2, d3;
  const std::vector<std::string> later = {
      record(1, "R", "[10,50]", 8),           record(2, "R2", "[40]", 8),
      record(3, "app.Obj", "[61]", 48),       record(10, "builtins.tuple", "[30]", 64),
      record(30, "builtins.str", "[]", 26000), record(40, "builtins.dict", "[]", 200),
      record(50, "builtins.dict", "[]", 200), record(60, "builtins.list", "[]", 200),
      record(61, "builtins.dict", "[60]", 100)};
  const Store first = store_of(
      d1, {record(1, "R", "[10,40,50]", 8), record(2, "R2", "[]", 8), record(3, "app.Obj", "[60]", 48),
           record(10, "builtins.tuple", "[20]", 64), record(20, "builtins.str", "[]", 456),
           record(40, "builtins.dict", "[]", 100), record(50, "builtins.dict", "[]", 100),
           record(60, "builtins.list", "[]", 100)});
  const Store second = store_of(d2, later);
  const Store third = store_of(d3, later);
  const FakeFacts first_sizes = FakeFacts::retained_sizes({{10, 520}, {40, 100}, {50, 100}, {60, 100}});
  const FakeFacts second_sizes = FakeFacts::retained_sizes({{10, 26700}, {40, 200}, {50, 200}, {60, 200}});
  const FakeFacts third_sizes = FakeFacts::retained_sizes({{10, 26700}, {40, 300}, {50, 300}, {60, 300}});
  const std::vector<GrowthInput> dumps = {
      {&first, &first_sizes}, {&second, &second_sizes}, {&third, &third_sizes}};

  const Growth growth = find_growth(dumps, 10).value();
  std::vector<std::pair<std::uint64_t, std::vector<std::optional<std::uint64_t>>>> grown;
  for (const GrowingObject& object : growth.objects) grown.emplace_back(object.id, object.sizes);
  const std::vector<std::optional<std::uint64_t>> born_later = {std::nullopt, 200, 300};
  const std::vector<std::optional<std::uint64_t>> from_the_start = {100, 200, 300};
  EXPECT_EQ(grown, (decltype(grown){{40, born_later}, {50, from_the_start}, {60, from_the_start}}));

  const Comparison diff = compare_stores(first, second, {.same_process = true}).value();
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> changes;
  for (const TypeChange& row : diff.types) changes[row.type] = {row.added.count, row.removed.count};
  EXPECT_EQ(changes, (std::map<std::string, std::pair<std::uint64_t, std::uint64_t>>{
                         {"R", {0, 0}},
                         {"R2", {0, 0}},
                         {"app.Obj", {0, 0}},
                         {"builtins.dict", {2, 1}},
                         {"builtins.list", {0, 0}},
                         {"builtins.str", {1, 1}},
                         {"builtins.tuple", {1, 1}}}));
}

// 1 -> 2 -> 3 <-> 4 with equal growth: 1 and 2 only pass it on, the cycle {3, 4} is represented
// by 4, whose own size grew. 5 refers to 4 but grew more; 6 grew on its own.
TEST(GrowthSources, OneRepresentativePerPlaceWhereGrowthHappens) {
  const std::vector<GrowerNode> growers = {
      {1, 100, 0, {1}}, {2, 100, 0, {2}}, {3, 100, 0, {3}}, {4, 100, 40, {2}}, {5, 150, 50, {3}}, {6, 10, 10, {}},
  };
  EXPECT_EQ(growth_sources(growers), (std::vector<std::uint32_t>{3, 4, 5}));
}

}  // namespace
}  // namespace vesker
