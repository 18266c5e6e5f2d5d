// Chunks of rows handed from one thread to another, at most a few at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/common/error.h"

namespace vesker {

// The import's merge of spilled runs runs on a thread of its own and hands the merged rows to
// the writer thread, which alone may use the transaction; the channel holds at most `capacity`
// chunks, so the merge never runs far ahead of LMDB's puts. Either side can end the exchange:
// the producer by `close` (with its outcome), the consumer by `abandon` (after a failure of its
// own), which makes every later `push` return false at once.
class RowChannel {
 public:
  struct Chunk {
    std::uint8_t target = 0;  // which database the rows are for, in the producer's own numbering
    std::string rows;
  };

  explicit RowChannel(std::size_t capacity) : capacity_(capacity) {}

  // Waits for room; false when the consumer has abandoned the exchange.
  bool push(Chunk chunk) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || chunks_.size() < capacity_; });
    if (abandoned_) return false;
    chunks_.push_back(std::move(chunk));
    lock.unlock();
    changed_.notify_all();
    return true;
  }

  // The producer's last word: how it ended, and what it threw if it did.
  void close(Status outcome, std::exception_ptr thrown = nullptr) {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      outcome_ = std::move(outcome);
      thrown_ = thrown;
    }
    changed_.notify_all();
  }

  // The next chunk, or none once the producer closed the channel and every chunk was taken.
  std::optional<Chunk> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !chunks_.empty(); });
    if (chunks_.empty()) return std::nullopt;
    Chunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    lock.unlock();
    changed_.notify_all();
    return chunk;
  }

  void abandon() {
    {
      std::lock_guard lock(mutex_);
      abandoned_ = true;
      chunks_.clear();
    }
    changed_.notify_all();
  }

  // After `pop` returned none: the producer's outcome; what it threw is thrown again here.
  Status outcome() {
    std::lock_guard lock(mutex_);
    if (thrown_) std::rethrow_exception(thrown_);
    return outcome_;
  }

 private:
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> chunks_;
  bool closed_ = false;
  bool abandoned_ = false;
  Status outcome_;
  std::exception_ptr thrown_;
};

}  // namespace vesker
