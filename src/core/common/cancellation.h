// A long computation's way to stop early when its caller asks.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "core/common/error.h"

namespace vesker {

// The computation calls `poll()` after each small unit of work (one record, one node). The
// caller's check runs on every kStride-th poll only, so that a check costing a clock read, or
// even taking the interpreter lock now and then, stays invisible beside the work; a check that
// fails ends the computation with its error, which unwinds every transaction unwritten.
class CancellationCheck {
 public:
  static constexpr std::uint32_t kStride = 1024;

  // Never cancels.
  CancellationCheck() = default;
  explicit CancellationCheck(std::function<Status()> check) : check_(std::move(check)) {}

  Status poll() {
    if (!check_ || ++polls_ % kStride != 0) return {};
    return check_();
  }

 private:
  std::function<Status()> check_;
  std::uint32_t polls_ = 0;
};

}  // namespace vesker
