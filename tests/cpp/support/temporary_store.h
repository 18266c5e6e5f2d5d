// A store in a fresh temporary directory, removed again with the fixture.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/store/store.h"

namespace vesker::testing {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesker-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryDirectory() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline Store open_store(const std::filesystem::path& directory) {
  auto store = Store::open(directory.string());
  if (!store) throw std::runtime_error(store.error().text());
  return std::move(*store);
}

// Every (key, value) pair of a database, duplicates included, in LMDB order.
inline std::vector<std::pair<std::string, std::string>> contents(const Store& store, Database db) {
  auto txn = store.begin_read();
  if (!txn) throw std::runtime_error(txn.error().text());
  auto cursor = Cursor::open(*txn, db);
  if (!cursor) throw std::runtime_error(cursor.error().text());
  std::vector<std::pair<std::string, std::string>> rows;
  for (auto entry = cursor->move(MDB_FIRST); entry && *entry; entry = cursor->move(MDB_NEXT)) {
    rows.emplace_back((*entry)->key, (*entry)->value);
  }
  return rows;
}

}  // namespace vesker::testing
