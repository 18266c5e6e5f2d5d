#include "core/store/store.h"

#include <gtest/gtest.h>
#include <lmdb.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

namespace fs = std::filesystem;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vesker-store-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  Store open() {
    auto store = Store::open(directory_.string());
    EXPECT_TRUE(store.has_value()) << store.error().text();
    return std::move(*store);
  }

  fs::path directory_;
};

unsigned flags_of(const Transaction& txn, Database db) {
  unsigned flags = 0;
  EXPECT_EQ(mdb_dbi_flags(txn.handle(), db.dbi, &flags), MDB_SUCCESS);
  return flags;
}

TEST_F(StoreTest, CreatesTheSixDatabasesWithTheirFlags) {
  Store store = open();
  EXPECT_TRUE(fs::exists(directory_ / "data.mdb"));
  EXPECT_TRUE(fs::exists(directory_ / "lock.mdb"));
  auto txn = store.begin_read();
  ASSERT_TRUE(txn);
  EXPECT_EQ(flags_of(*txn, store.primary), unsigned{MDB_INTEGERKEY});
  EXPECT_EQ(flags_of(*txn, store.referrers), unsigned{MDB_DUPSORT | MDB_INTEGERKEY | MDB_DUPFIXED});
  EXPECT_EQ(flags_of(*txn, store.types), unsigned{MDB_DUPSORT | MDB_DUPFIXED});
  EXPECT_EQ(flags_of(*txn, store.types_size_index), unsigned{MDB_DUPSORT | MDB_DUPFIXED});
  EXPECT_EQ(flags_of(*txn, store.types_subtree_size_index), unsigned{MDB_DUPSORT | MDB_DUPFIXED});
  EXPECT_EQ(flags_of(*txn, store.type_summaries), 0u);

  // The names are those of the main database's keys.
  MDB_dbi main_db;
  ASSERT_EQ(mdb_dbi_open(txn->handle(), nullptr, 0, &main_db), MDB_SUCCESS);
  auto cursor = Cursor::open(*txn, Database{store.environment.get(), main_db});
  ASSERT_TRUE(cursor);
  std::vector<std::string> names;
  for (auto entry = cursor->move(MDB_FIRST); entry && *entry; entry = cursor->move(MDB_NEXT)) {
    names.emplace_back((*entry)->key);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"primary", "referrers", "type_summaries", "types",
                                             "types_size_index", "types_subtree_size_index"}));
}

TEST_F(StoreTest, OneOpenEnvironmentPerDirectory) {
  {
    Store first = open();
    auto second = Store::open((directory_ / ".").string());  // the canonical path decides
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text(),
              "environment already open in this program; close it to be able to open it again with different "
              "options");
    auto txn = first.begin_write();
    ASSERT_TRUE(txn);
    ASSERT_TRUE(txn->put(first.type_summaries, "T", TypeSummary{2, 48}.encode().view()));
    ASSERT_TRUE(txn->commit());
  }
  Store reopened = open();
  auto txn = reopened.begin_read();
  ASSERT_TRUE(txn);
  auto value = txn->get(reopened.type_summaries, "T");
  ASSERT_TRUE(value && *value);
  EXPECT_EQ(TypeSummary::decode(**value).value(), (TypeSummary{2, 48}));
}

TEST_F(StoreTest, OpeningFailuresCarryTheSystemAndLmdbTexts) {
  auto missing = Store::open((directory_ / "missing").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(directory_ / "missing"));

  const fs::path file = directory_ / "file";
  std::ofstream(file) << "x";
  auto not_directory = Store::open(file.string());
  ASSERT_FALSE(not_directory);
  EXPECT_EQ(not_directory.error().text(), "Not a directory");

  const fs::path garbage = directory_ / "garbage";
  fs::create_directory(garbage);
  std::ofstream(garbage / "data.mdb") << std::string(64 * 1024, 'x');
  auto invalid = Store::open(garbage.string());
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().text(), "MDB_INVALID: File is not an LMDB file");
}

// The orders that the listings return come from LMDB's byte-wise duplicate comparison.
TEST_F(StoreTest, DuplicateOrdersAreByteWise) {
  Store store = open();
  auto txn = store.begin_write();
  ASSERT_TRUE(txn);
  for (std::uint64_t referrer : {1u, 256u, 2u, 1u}) {
    ASSERT_TRUE(txn->put(store.referrers, IdBytes(7).view(), IdBytes(referrer).view()));
  }
  for (auto entry : {SizeIndexEntry{5, 9}, SizeIndexEntry{5, 1}, SizeIndexEntry{0, 0}, SizeIndexEntry{70000, 3}}) {
    ASSERT_TRUE(txn->put(store.types_size_index, "T", entry.encode().view()));
  }
  auto referrers = Cursor::open(*txn, store.referrers);
  ASSERT_TRUE(referrers);
  std::vector<std::uint64_t> ids;
  for (auto entry = referrers->seek(MDB_SET, IdBytes(7).view()); entry && *entry;
       entry = referrers->move(MDB_NEXT_DUP)) {
    ids.push_back(load_u64_le((*entry)->value.data()));
  }
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{256, 1, 2}));

  auto sizes = Cursor::open(*txn, store.types_size_index);
  ASSERT_TRUE(sizes);
  std::vector<SizeIndexEntry> entries;
  for (auto entry = sizes->seek(MDB_SET, "T"); entry && *entry; entry = sizes->move(MDB_NEXT_DUP)) {
    entries.push_back(SizeIndexEntry::decode((*entry)->value).value());
  }
  EXPECT_EQ(entries, (std::vector<SizeIndexEntry>{{70000, 3}, {5, 1}, {5, 9}, {0, 0}}));
}

TEST_F(StoreTest, EmptyKeysAreRefusedByLmdb) {
  Store store = open();
  auto txn = store.begin_write();
  ASSERT_TRUE(txn);
  auto put = txn->put(store.types, "", IdBytes(1).view());
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().text(), "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size");
}

}  // namespace
}  // namespace vesker
