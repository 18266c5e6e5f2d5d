// Rows that wait on disk during an import: an unlinked temporary file in the store's directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/common/error.h"

namespace vesker {

// The file has no name from the start, so its space goes back to the file system when it is
// closed, however the import ends (a crash included). It lives beside the store, on the file
// system that has room for the store, rather than in a temporary directory that may be memory.
class SpillFile {
 public:
  static Result<SpillFile> create(const std::string& directory);

  SpillFile(SpillFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        size_(other.size_),
        pending_(std::move(other.pending_)),
        in_memory_(other.in_memory_) {}
  SpillFile& operator=(SpillFile&& other) noexcept;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;
  ~SpillFile();

  // Appends through a buffer, which is written out whenever it is full.
  Status append(std::string_view bytes);
  // From now on appended bytes stay in memory, with room made for `more` of them: for the last
  // rows, which would be read back at once.
  void keep_in_memory(std::size_t more) {
    in_memory_ = true;
    pending_.reserve(pending_.size() + more);
  }
  // Bytes appended so far, buffered ones included.
  std::uint64_t size() const noexcept { return size_; }

  // Reads `length` bytes at `offset`, from the file and the buffer.
  Status read(std::uint64_t offset, char* into, std::size_t length) const;

 private:
  explicit SpillFile(int fd) noexcept : fd_(fd) {}
  Status flush();
  Status write_all(std::string_view bytes);

  int fd_;
  std::uint64_t size_ = 0;
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
