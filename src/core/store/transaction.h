// RAII transactions and cursors over the store's databases.
#pragma once

#include <lmdb.h>

#include <optional>
#include <string_view>
#include <utility>

#include "core/common/error.h"
#include "core/store/environment.h"
#include "core/store/lmdb_error.h"

namespace vesker {

inline MDB_val to_mdb_val(std::string_view bytes) noexcept {
  return MDB_val{bytes.size(), const_cast<char*>(bytes.data())};
}
inline std::string_view to_bytes(const MDB_val& value) noexcept {
  return {static_cast<const char*>(value.mv_data), value.mv_size};
}

// A transaction that is aborted unless it was committed. Views returned by reads stay valid
// until the transaction ends or, in a write transaction, until the next write.
class Transaction {
 public:
  enum class Mode { read_only, read_write };

  static Result<Transaction> begin(const Environment& environment, Mode mode) {
    MDB_txn* txn = nullptr;
    const unsigned flags = mode == Mode::read_only ? MDB_RDONLY : 0;
    VESKER_TRY(check_lmdb(mdb_txn_begin(environment.handle(), nullptr, flags, &txn)));
    return Transaction(&environment, txn);
  }

  Transaction(Transaction&& other) noexcept
      : environment_(other.environment_), txn_(std::exchange(other.txn_, nullptr)) {}
  Transaction& operator=(Transaction&& other) noexcept {
    if (this != &other) {
      abort();
      environment_ = other.environment_;
      txn_ = std::exchange(other.txn_, nullptr);
    }
    return *this;
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() { abort(); }

  Status commit() {
    // LMDB frees the transaction whether or not the commit succeeds.
    return check_lmdb_write(mdb_txn_commit(std::exchange(txn_, nullptr)), environment_->handle());
  }
  void abort() noexcept {
    if (txn_ != nullptr) mdb_txn_abort(std::exchange(txn_, nullptr));
  }

  MDB_txn* handle() const noexcept { return txn_; }

  // The value under `key`, or nothing when the key is absent.
  Result<std::optional<std::string_view>> get(Database db, std::string_view key) const {
    MDB_val k = to_mdb_val(key);
    MDB_val v;
    const int rc = mdb_get(txn_, checked(db), &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    VESKER_TRY(check_lmdb(rc));
    return to_bytes(v);
  }

  Status put(Database db, std::string_view key, std::string_view value, unsigned flags = 0) {
    MDB_val k = to_mdb_val(key);
    MDB_val v = to_mdb_val(value);
    return check_lmdb_write(mdb_put(txn_, checked(db), &k, &v, flags), environment_->handle());
  }

  // The database number, after checking that the handle belongs to this transaction's environment.
  MDB_dbi checked(Database db) const {
    if (db.environment != environment_) internal_error("database handle used with a transaction of another environment");
    return db.dbi;
  }

 private:
  Transaction(const Environment* environment, MDB_txn* txn) noexcept : environment_(environment), txn_(txn) {}

  const Environment* environment_;
  MDB_txn* txn_;
};

struct Entry {
  std::string_view key;
  std::string_view value;
};

class Cursor {
 public:
  static Result<Cursor> open(const Transaction& txn, Database db) {
    MDB_cursor* cursor = nullptr;
    VESKER_TRY(check_lmdb(mdb_cursor_open(txn.handle(), txn.checked(db), &cursor)));
    return Cursor(cursor);
  }

  Cursor(Cursor&& other) noexcept : cursor_(std::exchange(other.cursor_, nullptr)) {}
  Cursor& operator=(Cursor&& other) noexcept {
    if (this != &other) {
      close();
      cursor_ = std::exchange(other.cursor_, nullptr);
    }
    return *this;
  }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { close(); }

  // Moves the cursor; nothing when the move runs past the end (or the key is absent).
  Result<std::optional<Entry>> move(MDB_cursor_op op) { return get(op, MDB_val{0, nullptr}, MDB_val{0, nullptr}); }
  Result<std::optional<Entry>> seek(MDB_cursor_op op, std::string_view key) {
    return get(op, to_mdb_val(key), MDB_val{0, nullptr});
  }
  // To a value of a key, in a database with duplicates (MDB_GET_BOTH, MDB_GET_BOTH_RANGE).
  Result<std::optional<Entry>> seek(MDB_cursor_op op, std::string_view key, std::string_view value) {
    return get(op, to_mdb_val(key), to_mdb_val(value));
  }

  Status put(std::string_view key, MDB_val* values, unsigned flags) {
    MDB_val k = to_mdb_val(key);
    return check_lmdb_write(mdb_cursor_put(cursor_, &k, values, flags), mdb_txn_env(mdb_cursor_txn(cursor_)));
  }

  // The number of values of the key the cursor is on, in a database with duplicates.
  Result<std::size_t> duplicate_count() const {
    std::size_t count = 0;
    VESKER_TRY(check_lmdb(mdb_cursor_count(cursor_, &count)));
    return count;
  }

  MDB_cursor* handle() const noexcept { return cursor_; }

 private:
  explicit Cursor(MDB_cursor* cursor) noexcept : cursor_(cursor) {}
  void close() noexcept {
    if (cursor_ != nullptr) mdb_cursor_close(std::exchange(cursor_, nullptr));
  }

  Result<std::optional<Entry>> get(MDB_cursor_op op, MDB_val key, MDB_val value) {
    const int rc = mdb_cursor_get(cursor_, &key, &value, op);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    VESKER_TRY(check_lmdb(rc));
    return Entry{to_bytes(key), to_bytes(value)};
  }

  MDB_cursor* cursor_;
};

}  // namespace vesker
