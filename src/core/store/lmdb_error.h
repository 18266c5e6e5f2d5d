// LMDB return codes as error values.
#pragma once

#include <lmdb.h>

#include "core/common/error.h"
#include "core/common/os_error.h"

namespace vesker {

// What kind of failure an LMDB return code is.
inline ErrorKind lmdb_error_kind(int code) {
  switch (code) {
    case MDB_BAD_VALSIZE:
      return ErrorKind::rejected_key;
    case MDB_MAP_FULL:
      return ErrorKind::store_full;
    case MDB_CORRUPTED:
    case MDB_PAGE_NOTFOUND:
    case MDB_INVALID:
    case MDB_VERSION_MISMATCH:
      return ErrorKind::damaged;
    case MDB_READERS_FULL:
      return ErrorKind::busy;
    default:
      return ErrorKind::failure;
  }
}

// LMDB's own description of a return code (for system error codes, the operating system's text).
inline Error lmdb_error(int code) { return Error::of_kind(lmdb_error_kind(code), mdb_strerror(code)); }

inline Status check_lmdb(int code) {
  if (code != MDB_SUCCESS) return fail(lmdb_error(code));
  return {};
}

// The return code of a call that writes to `env`'s data file: what the operating system refused
// (a full disk above all) is a storage error, not a fault of the data.
inline Status check_lmdb_write(int code, MDB_env* env) {
  if (code == MDB_SUCCESS) return {};
  if (code > 0 && is_storage_failure(code)) {
    int fd = -1;
    if (mdb_env_get_fd(env, &fd) != MDB_SUCCESS) fd = -1;
    return fail(storage_error(code, fd));
  }
  return fail(lmdb_error(code));
}

}  // namespace vesker
