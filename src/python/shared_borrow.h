// The shared borrow that every method holds on its explorer for the length of the call.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/common/error.h"

namespace vesker::python {

class SharedBorrow {
 public:
  // The counter's value while someone held the explorer exclusively. Nothing in this module
  // takes exclusive access, so the state exists only to keep the counter's meaning whole.
  static constexpr std::intptr_t kExclusive = -1;

  explicit SharedBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t current = counter_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) internal_error("Already mutably borrowed");
    } while (!counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { counter_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::intptr_t>& counter_;
};

}  // namespace vesker::python
