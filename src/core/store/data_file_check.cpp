#include "core/store/data_file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

namespace vesker {
namespace {

// LMDB's on-disk layout (lmdb 0.9, 64-bit): pages 0 and 1 are meta pages, each a 16-byte page
// header followed by the meta record. The newer of the two (by transaction id) is current.
constexpr std::size_t kPageHeaderSize = 16;
constexpr std::uint32_t kMetaMagic = 0xBEEFC0DE;
constexpr std::uint32_t kDataVersion = 1;

struct DatabaseRecord {  // MDB_db
  std::uint32_t pad;     // in the free-page database of a meta page: the page size
  std::uint16_t flags;
  std::uint16_t depth;
  std::uint64_t branch_pages;
  std::uint64_t leaf_pages;
  std::uint64_t overflow_pages;
  std::uint64_t entries;
  std::uint64_t root;
};

struct MetaRecord {  // MDB_meta
  std::uint32_t magic;
  std::uint32_t version;
  std::uint64_t address;
  std::uint64_t map_size;
  DatabaseRecord databases[2];
  std::uint64_t last_page;
  std::uint64_t transaction_id;
};
static_assert(sizeof(DatabaseRecord) == 48 && sizeof(MetaRecord) == 136);
static_assert(sizeof(void*) == 8, "the layout above is LMDB's on 64-bit systems");

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string os_text(int code) { return std::strerror(code); }

// The meta record at `offset`, or nothing when the bytes there are not one.
Result<std::optional<MetaRecord>> read_meta(int fd, off_t offset, const std::string& file) {
  MetaRecord meta;
  const ssize_t got = ::pread(fd, &meta, sizeof meta, offset + static_cast<off_t>(kPageHeaderSize));
  if (got < 0) return fail_message("cannot read " + file + ": " + os_text(errno));
  if (static_cast<std::size_t>(got) < sizeof meta || meta.magic != kMetaMagic || meta.version != kDataVersion) {
    return std::nullopt;
  }
  return meta;
}

}  // namespace

Status check_data_file(const std::string& directory) {
  const std::string file = directory + "/data.mdb";
  FileDescriptor data;
  data.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  // A file that cannot be opened is no damage; LMDB's own opening reports why.
  if (data.fd < 0) return {};
  struct stat status;
  if (::fstat(data.fd, &status) != 0) return fail_message("cannot read " + file + ": " + os_text(errno));
  const auto file_size = static_cast<std::uint64_t>(status.st_size);
  const std::string damaged = "the store is damaged: its data file " + file;
  if (file_size == 0) {
    const std::string lock = directory + "/lock.mdb";
    if (::access(lock.c_str(), F_OK) == 0) return fail_as(ErrorKind::damaged, damaged + " is empty");
    return {};
  }

  VESKER_ASSIGN_OR_RETURN(const std::optional<MetaRecord> first, read_meta(data.fd, 0, file));
  if (!first) return {};  // not an LMDB file at all, which LMDB's own opening says
  const std::uint64_t page_size = first->databases[0].pad;
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) {
    return fail_as(ErrorKind::damaged, damaged + " names an impossible page size (" + std::to_string(page_size) + ")");
  }
  if (file_size < 2 * page_size) return fail_as(ErrorKind::damaged, damaged + " is shorter than its two meta pages");
  VESKER_ASSIGN_OR_RETURN(const std::optional<MetaRecord> second,
                          read_meta(data.fd, static_cast<off_t>(page_size), file));
  const MetaRecord& current = second && second->transaction_id > first->transaction_id ? *second : *first;
  const std::uint64_t pages = current.last_page + 1;
  if (pages > file_size / page_size) {
    return fail_as(ErrorKind::damaged, damaged + " holds " + std::to_string(file_size) + " bytes, but its pages (" +
                                           std::to_string(pages) + " of " + std::to_string(page_size) +
                                           " bytes) need " + std::to_string(pages * page_size) +
                                           ": it was cut short");
  }
  return {};
}

}  // namespace vesker
