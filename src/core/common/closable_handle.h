// A shared object that one thread may close while others take it for their calls.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace vesker {

// Copying a shared_ptr while another thread reassigns it is a data race (the copy may count a
// reference on a control block the reassignment has just freed), so both go through one lock,
// held for the copy or swap alone.
template <class T>
class ClosableHandle {
 public:
  explicit ClosableHandle(std::shared_ptr<T> object) : object_(std::move(object)) {}
  ClosableHandle(const ClosableHandle&) = delete;
  ClosableHandle& operator=(const ClosableHandle&) = delete;

  // The object for one call, null once closed; the call's share keeps it alive past a close.
  std::shared_ptr<T> take() const {
    std::lock_guard guard(lock_);
    return object_;
  }
  // This handle's share, given up: the caller drops it where the last drop may take its time.
  std::shared_ptr<T> close() {
    std::lock_guard guard(lock_);
    return std::exchange(object_, nullptr);
  }

 private:
  mutable std::mutex lock_;
  std::shared_ptr<T> object_;
};

}  // namespace vesker
