#include "core/importer/line_importer.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"
#include "core/common/byte_order.h"
#include "support/temporary_store.h"

namespace vesker {
namespace {

using testing::contents;
using testing::open_store;
using testing::TemporaryDirectory;

// A dump with the features that make batching and sorting delicate: repeated ids with other
// types and sizes, ids on both sides of 256 (whose byte order differs from numeric order),
// duplicate and dangling references, the all-types name used as a type, and escaped values.
std::vector<std::string> generated_lines(std::uint32_t seed, int count) {
  std::mt19937_64 random(seed);
  const std::vector<std::string> types = {"builtins.str", "builtins.dict", "builtins.module", "All Types",
                                          "a", "ab", "b\xC3\xA9", "builtins.tuple"};
  auto some_id = [&] {
    switch (random() % 4) {
      case 0: return random() % 600;
      case 1: return 0x7f0000000000 + 16 * (random() % 5000);
      case 2: return ~std::uint64_t{0} - random() % 3;
      default: return random() % (count * 2 + 1);
    }
  };
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    RawObjectRecord record;
    record.id = some_id();
    record.type = types[random() % types.size()];
    for (int r = static_cast<int>(random() % 12); r > 0; --r) record.references.push_back(some_id());
    if (random() % 3 == 0 && !record.references.empty()) record.references.push_back(record.references.front());
    if (random() % 2) record.value = std::string("v\"\\\n") + std::to_string(random() % 100);
    record.size = random() % 4 == 0 ? 16 : random() % 100000;
    if (random() % 7 == 0) record.subtree_size = random();
    lines.push_back(encode_raw_object_record(record));
  }
  return lines;
}

// The reference: every row put on its own, in input order, as the rows of one line are defined.
void put_one_by_one(const Store& store, const std::vector<std::string>& lines) {
  auto txn = store.begin_write().value();
  for (const std::string& line : lines) {
    const RawObjectRecord record = decode_raw_object_record(line).value();
    ASSERT_TRUE(txn.put(store.primary, IdBytes(record.id).view(), encode_raw_object_record(record)));
    for (std::uint64_t referenced : record.references) {
      ASSERT_TRUE(txn.put(store.referrers, IdBytes(referenced).view(), IdBytes(record.id).view()));
    }
    const SizeIndexEntry entry{record.size, record.id};
    for (const Type& type : {Type::named(record.type), Type::all_types()}) {
      ASSERT_TRUE(txn.put(store.types, type.bytes(), IdBytes(record.id).view()));
    }
    for (const Type& type : {Type::named(record.type), Type::all_types()}) {
      ASSERT_TRUE(txn.put(store.types_size_index, type.bytes(), entry.encode().view()));
    }
  }
  ASSERT_TRUE(txn.commit());
}

void import_batched(const Store& store, const std::vector<std::string>& lines, std::size_t batch_bytes) {
  auto importer = LineImporter::begin(store, batch_bytes);
  ASSERT_TRUE(importer);
  for (const std::string& line : lines) ASSERT_TRUE(importer->add_line(line));
  ASSERT_TRUE(importer->commit());
}

void expect_same_contents(const Store& a, const Store& b) {
  EXPECT_EQ(contents(a, a.primary), contents(b, b.primary));
  EXPECT_EQ(contents(a, a.referrers), contents(b, b.referrers));
  EXPECT_EQ(contents(a, a.types), contents(b, b.types));
  EXPECT_EQ(contents(a, a.types_size_index), contents(b, b.types_size_index));
}

TEST(LineImporter, StoresExactlyWhatOneByOnePutsStore) {
  // One batch; runs whose first ones stay in memory, for some databases wholly (640 KiB) or in
  // part (4096); runs in files alone (1); the last case merges runs from memory and files whose
  // rows reach the putting thread in many chunks.
  const std::pair<std::size_t, int> cases[] = {{std::size_t{1} << 30, 3000},
                                               {std::size_t{640} << 10, 3000},
                                               {4096, 3000},
                                               {1, 3000},
                                               {std::size_t{1} << 20, 40000}};
  for (const auto& [batch_bytes, count] : cases) {
    TemporaryDirectory reference_dir, batched_dir;
    const Store reference = open_store(reference_dir.path());
    const Store batched = open_store(batched_dir.path());
    // Two imports: the second meets keys and duplicates that the store already holds.
    for (std::uint32_t seed : {1u, 2u}) {
      const auto lines = generated_lines(seed, count);
      put_one_by_one(reference, lines);
      import_batched(batched, lines, batch_bytes);
    }
    SCOPED_TRACE(batch_bytes);
    expect_same_contents(reference, batched);
  }
}

TEST(LineImporter, ABadLineFailsAtItsOwnPositionAndStoresNothing) {
  TemporaryDirectory directory;
  const Store store = open_store(directory.path());
  {
    auto importer = LineImporter::begin(store).value();
    ASSERT_TRUE(importer.add_line(R"({"id":1,"type":"T","references":[2],"size":8})"));
    auto bad = importer.add_line(R"({"id":2,"type":"","references":[],"size":8})");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().text(), "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size");
    EXPECT_EQ(bad.error().kind(), ErrorKind::rejected_key);
    auto long_type = importer.add_line(R"({"id":2,"type":")" + std::string(512, 'x') + R"(","references":[],"size":8})");
    ASSERT_FALSE(long_type);
    EXPECT_TRUE(importer.add_line(R"({"id":3,"type":")" + std::string(511, 'x') + R"(","references":[],"size":8})"));
    auto blank = importer.add_line("\n");
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error().text(), "EOF while parsing a value at line 2 column 0");
    EXPECT_EQ(blank.error().kind(), ErrorKind::bad_record);
    EXPECT_EQ(blank.error().column(), 0u);
  }  // dropped without commit
  EXPECT_TRUE(contents(store, store.primary).empty());
  EXPECT_TRUE(contents(store, store.types).empty());
}

// A file system mounted for the test's lifetime (root only).
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& path, const char* size) : path_(path) {
    std::filesystem::create_directory(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, size) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
};

TEST(LineImporter, AFullDiskWhileSpillingIsAStorageErrorNotABadLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TemporaryDirectory directory;
  const SmallFileSystem disk(directory.path() / "disk", "size=192k");
  ASSERT_TRUE(disk.mounted());
  const Store store = open_store(directory.path() / "disk");
  auto importer = LineImporter::begin(store, 4096).value();
  Status added;
  for (const std::string& line : generated_lines(3, 20000)) {
    added = importer.add_line(line);
    if (!added) break;
  }
  ASSERT_FALSE(added) << "the spilled batches fitted after all";
  EXPECT_EQ(added.error().kind(), ErrorKind::storage);
  EXPECT_EQ(added.error().os_code(), ENOSPC);
}

TEST(LineImporter, LaterRecordOfAnIdWinsAcrossBatches) {
  TemporaryDirectory directory;
  const Store store = open_store(directory.path());
  auto importer = LineImporter::begin(store, 1).value();
  ASSERT_TRUE(importer.add_line(R"({"id":5,"type":"A","references":[],"size":1})"));
  ASSERT_TRUE(importer.add_line(R"({"id":5,"type":"B","references":[],"size":2,"extra":[1,{"x":null}]})"));
  ASSERT_TRUE(importer.commit());
  const auto primary = contents(store, store.primary);
  ASSERT_EQ(primary.size(), 1u);
  EXPECT_EQ(primary[0].second, R"({"id":5,"type":"B","references":[],"value":null,"size":2,"subtree_size":null})");
  EXPECT_EQ(contents(store, store.types).size(), 3u);  // A, B and All Types, each with id 5
}

}  // namespace
}  // namespace vesker
