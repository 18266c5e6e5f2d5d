// A failed system call as this system reports it: the system's text and its number.
#pragma once

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/common/error.h"

namespace vesker {

inline std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

inline Error os_error(int code) { return Error::message(os_error_text(code)); }

// Whether the file system of `fd` has (next to) no room left for a non-privileged write.
inline bool file_system_full(int fd) {
  constexpr unsigned long long kNearlyFullBytes = 1 << 20;
  struct statvfs status;
  if (::fstatvfs(fd, &status) != 0) return false;
  return static_cast<unsigned long long>(status.f_bavail) * status.f_frsize < kNearlyFullBytes;
}

// Whether a system call's error number is a failure of the storage under a file rather than of
// the request: such errors are storage errors.
inline bool is_storage_failure(int code) {
  return code == ENOSPC || code == EDQUOT || code == EIO || code == EFBIG;
}

// A failed read or write of the file `fd`. LMDB reports a write that the disk took only in part
// as EIO; on a file system left without room that was a full disk, and is named so.
inline Error storage_error(int code, int fd) {
  if (code == EIO && fd >= 0 && file_system_full(fd)) code = ENOSPC;
  return Error::storage(code, os_error_text(code));
}

}  // namespace vesker
