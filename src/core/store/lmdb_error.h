// LMDB return codes as error values.
#pragma once

#include <lmdb.h>

#include "core/common/error.h"

namespace vesker {

// LMDB's own description of a return code (for system error codes, the operating system's text).
inline Error lmdb_error(int code) { return Error::message(mdb_strerror(code)); }

inline Status check_lmdb(int code) {
  if (code != MDB_SUCCESS) return fail(lmdb_error(code));
  return {};
}

}  // namespace vesker
