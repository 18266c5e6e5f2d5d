// How a long computation tells its caller how far it is, and how the caller stops it.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "core/common/error.h"

namespace vesker {

// The computation reports `done` of `total` units now and then, and polls after each small unit
// of work (one record, one node) whose count it does not follow. The caller's sink sees the
// counts; an error it returns ends the computation with that error, which unwinds every
// transaction unwritten: a `cancelled` error when the caller asks it to stop, a pending Python
// exception when a callback raised. Polls reach the sink on every kStride-th call only, so that
// a sink costing a clock read, or even taking the interpreter lock now and then, stays invisible
// beside the work.
class Progress {
 public:
  using Sink = std::function<Status(std::uint64_t done, std::uint64_t total)>;
  static constexpr std::uint32_t kStride = 1024;

  // Neither reports nor stops.
  Progress() = default;
  explicit Progress(Sink sink) : sink_(std::move(sink)) {}

  Status poll() {
    if (!sink_ || ++polls_ % kStride != 0) return {};
    return sink_(done_, total_);
  }

  Status report(std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    if (!sink_) return {};
    return sink_(done, total);
  }

 private:
  Sink sink_;
  std::uint32_t polls_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace vesker
