#include "core/check/store_check.h"

#include <string_view>

#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/store/lmdb_error.h"

namespace vesker {
namespace {

// LMDB's database of named databases.
constexpr MDB_dbi kMainDatabase = 1;
constexpr std::size_t kMaxProblems = 20;

void report(StoreCheck& check, std::string problem) {
  if (check.problems.size() < kMaxProblems) check.problems.push_back(std::move(problem));
}

// Every byte of the entry, so that its pages are read (an overflow value lies on pages of its own).
std::uint64_t touch(std::string_view bytes) {
  std::uint64_t sum = 0;
  for (const char byte : bytes) sum += static_cast<unsigned char>(byte);
  return sum;
}

Status check_primary_entry(StoreCheck& check, std::string_view key, std::string_view value) {
  if (key.size() != 8) {
    report(check, "primary: a key of " + std::to_string(key.size()) + " bytes");
    return {};
  }
  const std::uint64_t id = load_u64_le(key.data());
  auto record = decode_raw_object_record(value);
  if (!record) {
    report(check, "primary: the record of id " + std::to_string(id) + " does not decode: " + record.error());
  } else if (record->id != id) {
    report(check, "primary: the record under id " + std::to_string(id) + " is that of id " +
                      std::to_string(record->id));
  }
  return {};
}

Status check_database(StoreCheck& check, const Transaction& txn, const std::string& name, std::uint64_t& sink) {
  MDB_dbi dbi = 0;
  if (const int rc = mdb_dbi_open(txn.handle(), name.c_str(), 0, &dbi); rc != MDB_SUCCESS) {
    report(check, name + ": cannot be opened: " + mdb_strerror(rc));
    return {};
  }
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(txn.handle(), dbi, &stat)));
  MDB_cursor* raw = nullptr;
  VESKER_TRY(check_lmdb(mdb_cursor_open(txn.handle(), dbi, &raw)));
  struct CursorCloser {
    MDB_cursor* cursor;
    ~CursorCloser() { mdb_cursor_close(cursor); }
  } closer{raw};

  std::uint64_t entries = 0;
  MDB_val key{0, nullptr};
  MDB_val value{0, nullptr};
  int rc = mdb_cursor_get(raw, &key, &value, MDB_FIRST);
  for (; rc == MDB_SUCCESS; rc = mdb_cursor_get(raw, &key, &value, MDB_NEXT)) {
    ++entries;
    const std::string_view key_bytes = to_bytes(key);
    const std::string_view value_bytes = to_bytes(value);
    sink += touch(key_bytes) + touch(value_bytes);
    check.bytes += key_bytes.size() + value_bytes.size();
    if (name == "primary") VESKER_TRY(check_primary_entry(check, key_bytes, value_bytes));
  }
  check.entries += entries;
  if (rc != MDB_NOTFOUND) {
    report(check, name + ": reading stopped after " + std::to_string(entries) + " entries: " + mdb_strerror(rc));
  } else if (entries != stat.ms_entries) {
    report(check, name + ": " + std::to_string(entries) + " entries read, but its header counts " +
                      std::to_string(stat.ms_entries));
  }
  return {};
}

}  // namespace

Result<StoreCheck> check_store(const Store& store) {
  StoreCheck check;
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  std::vector<std::string> names;
  {
    MDB_cursor* raw = nullptr;
    VESKER_TRY(check_lmdb(mdb_cursor_open(txn.handle(), kMainDatabase, &raw)));
    MDB_val key{0, nullptr};
    MDB_val value{0, nullptr};
    int rc = mdb_cursor_get(raw, &key, &value, MDB_FIRST);
    for (; rc == MDB_SUCCESS; rc = mdb_cursor_get(raw, &key, &value, MDB_NEXT)) names.emplace_back(to_bytes(key));
    mdb_cursor_close(raw);
    if (rc != MDB_NOTFOUND) report(check, std::string("the list of databases cannot be read: ") + mdb_strerror(rc));
  }
  std::uint64_t sink = 0;
  for (const std::string& name : names) {
    ++check.databases;
    VESKER_TRY(check_database(check, txn, name, sink));
  }
  // Keeps the reads of every byte from being optimised away.
  volatile std::uint64_t keep = sink;
  static_cast<void>(keep);
  return check;
}

}  // namespace vesker
