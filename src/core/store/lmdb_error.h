// LMDB return codes as error values.
#pragma once

#include <lmdb.h>

#include "core/common/error.h"
#include "core/common/os_error.h"

namespace vesker {

// LMDB's own description of a return code (for system error codes, the operating system's text).
inline Error lmdb_error(int code) { return Error::message(mdb_strerror(code)); }

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
