// Rows that wait during an import: in memory up to a budget, then in an unlinked temporary file
// in the store's directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/error.h"

namespace vesker {

// The file has no name from the start, so its space goes back to the file system when it is
// closed, however the import ends (a crash included). It lives beside the store, on the file
// system that has room for the store, rather than in a temporary directory that may be memory.
//
// The first `memory_bytes` appended stay in memory and never reach the file: on a machine where
// every page newly written costs (the file system's cache, and the disk behind it), what an import
// of moderate size spills then mostly never leaves memory, while a larger one stays bounded.
class SpillFile {
 public:
  static Result<SpillFile> create(const std::string& directory, std::size_t memory_bytes = 0);

  SpillFile(SpillFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        size_(other.size_),
        memory_left_(other.memory_left_),
        head_(std::move(other.head_)),
        head_size_(other.head_size_),
        pending_(std::move(other.pending_)),
        in_memory_(other.in_memory_) {}
  SpillFile& operator=(SpillFile&& other) noexcept;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  ~SpillFile();

  // Appends to memory while the budget lasts, then through a buffer, which is written out
  // whenever it is full.
  Status append(std::string_view bytes);
  // From now on appended bytes stay in memory, with room made for `more` of them: for the last
  // rows, which would be read back at once.
  void keep_in_memory(std::size_t more) {
    in_memory_ = true;
    pending_.reserve(pending_.size() + more);
  }
  // Bytes appended so far, buffered ones included.
  std::uint64_t size() const noexcept { return size_; }

  // Reads `length` bytes at `offset`, from memory, the file and the buffer.
  Status read(std::uint64_t offset, char* into, std::size_t length) const;

 private:
  // Memory is taken in pieces: a growing string would copy what it holds, twice at its peak.
  static constexpr std::size_t kHeadPieceBytes = std::size_t{4} << 20;

  SpillFile(int fd, std::size_t memory_bytes) noexcept : fd_(fd), memory_left_(memory_bytes) {}
  Status flush();
  Status write_all(std::string_view bytes);

  int fd_;
  std::uint64_t size_ = 0;
  std::size_t memory_left_;             // of the budget for the first bytes
  std::vector<std::string> head_;       // the first bytes, in pieces of kHeadPieceBytes
  std::uint64_t head_size_ = 0;
  std::string pending_;  // the last bytes appended, not in the file
  bool in_memory_ = false;
};

// Reads the bytes [begin, end) of a spill file front to back, a buffer at a time.
class SpillReader {
 public:
  SpillReader(const SpillFile& file, std::uint64_t begin, std::uint64_t end, std::size_t buffer_bytes)
      : file_(&file), next_(begin), end_(end), buffer_bytes_(buffer_bytes) {}

  bool exhausted() const noexcept { return position_ == buffer_.size() && next_ == end_; }
  // The next `length` bytes, valid until the next call. Reading past the end is a broken invariant.
  Result<std::string_view> take(std::size_t length);

 private:
  const SpillFile* file_;
  std::uint64_t next_;  // file offset of the first byte not yet in `buffer_`
  std::uint64_t end_;
  std::size_t buffer_bytes_;
  std::string buffer_;
  std::size_t position_ = 0;
};

}  // namespace vesker
