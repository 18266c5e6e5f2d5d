// A failed system call as this system reports it: the system's text and its number.
#pragma once

#include <cstring>
#include <string>

#include "core/common/error.h"

namespace vesker {

inline Error os_error(int code) {
  return Error::message(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
}

}  // namespace vesker
