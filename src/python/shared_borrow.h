// The shared borrow that every method holds on its explorer for the length of the call.
#pragma once

#include <atomic>
#include <cstdint>

namespace vesker::python {

// Counts the calls running on an explorer, so that the count is known at any moment.
class SharedBorrow {
 public:
  explicit SharedBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    counter_.fetch_add(1, std::memory_order_acquire);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { counter_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::intptr_t>& counter_;
};

}  // namespace vesker::python
