#include "core/importer/spill_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/common/os_error.h"

namespace vesker {
namespace {

constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 20;

}  // namespace

Result<SpillFile> SpillFile::create(const std::string& directory, std::size_t memory_bytes) {
  std::string path = directory + "/import-spill-XXXXXX";
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return fail(os_error(errno));
  SpillFile file(fd, memory_bytes);
  if (::unlink(path.c_str()) != 0) return fail(os_error(errno));
  file.pending_.reserve(kWriteBufferBytes);
  return file;
}

SpillFile& SpillFile::operator=(SpillFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    memory_left_ = other.memory_left_;
    head_ = std::move(other.head_);
    head_size_ = other.head_size_;
    pending_ = std::move(other.pending_);
    in_memory_ = other.in_memory_;
  }
  return *this;
}

SpillFile::~SpillFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status SpillFile::append(std::string_view bytes) {
  if (head_size_ == size_ && bytes.size() <= memory_left_) {
    // Nothing went to the file yet and the budget lasts: the bytes stay in memory.
    memory_left_ -= bytes.size();
    size_ += bytes.size();
    head_size_ = size_;
    while (!bytes.empty()) {
      if (head_.empty() || head_.back().size() == kHeadPieceBytes) {
        head_.emplace_back().reserve(std::min(kHeadPieceBytes, bytes.size() + memory_left_));
      }
      const std::size_t taken = std::min(bytes.size(), kHeadPieceBytes - head_.back().size());
      head_.back().append(bytes.substr(0, taken));
      bytes.remove_prefix(taken);
    }
    return {};
  }
  memory_left_ = 0;  // the file is in use: later bytes must not go before its bytes
  size_ += bytes.size();
  if (!in_memory_ && pending_.size() + bytes.size() > kWriteBufferBytes) {
    VESKER_TRY(flush());
    if (bytes.size() > kWriteBufferBytes) return write_all(bytes);
  }
  pending_.append(bytes);
  return {};
}

Status SpillFile::flush() {
  VESKER_TRY(write_all(pending_));
  pending_.clear();
  return {};
}

Status SpillFile::write_all(std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(storage_error(errno, fd_));
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return {};
}

Status SpillFile::read(std::uint64_t offset, char* into, std::size_t length) const {
  if (offset + length > size_) internal_error("a spill file read past the bytes written to it");
  while (length > 0 && offset < head_size_) {
    const std::string& piece = head_[offset / kHeadPieceBytes];
    const std::size_t within = offset % kHeadPieceBytes;
    const std::size_t taken = std::min(length, piece.size() - within);
    std::memcpy(into, piece.data() + within, taken);
    into += taken;
    offset += taken;
    length -= taken;
  }
  const std::uint64_t written = size_ - pending_.size();
  if (length > 0 && offset + length > written) {
    // The tail of the range is still in the buffer.
    const std::uint64_t from = std::max(offset, written);
    const std::size_t buffered = static_cast<std::size_t>(offset + length - from);
    std::memcpy(into + (from - offset), pending_.data() + (from - written), buffered);
    length -= buffered;
  }
  while (length > 0) {
    const ssize_t got = ::pread(fd_, into, length, static_cast<off_t>(offset - head_size_));
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(storage_error(errno, fd_));
    }
    if (got == 0) internal_error("a spill file ended before the bytes written to it");
    into += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return {};
}

Result<std::string_view> SpillReader::take(std::size_t length) {
  if (buffer_.size() - position_ < length) {
    // Keep the unread tail, then fill up to the buffer size (or at least the request).
    buffer_.erase(0, position_);
    position_ = 0;
    const std::size_t wanted = std::max(buffer_bytes_, length);
    const std::size_t kept = buffer_.size();
    const std::size_t more = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - kept, end_ - next_));
    if (kept + more < length) internal_error("a spill run read past its end");
    buffer_.resize(kept + more);
    VESKER_TRY(file_->read(next_, buffer_.data() + kept, more));
    next_ += more;
  }
  const std::string_view bytes(buffer_.data() + position_, length);
  position_ += length;
  return bytes;
}

}  // namespace vesker
