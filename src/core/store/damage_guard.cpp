#include "core/store/damage_guard.h"

#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

namespace vesker {
namespace {

constexpr std::size_t kSlots = 64;
constexpr std::size_t kPathBytes = 1024;
constexpr std::size_t kPrefixBytes = 256;

// Read by the signal handler, so plain memory and lock-free atomics only; a slot's fields are
// written before its environment is published and cleared after it is withdrawn.
struct MapSlot {
  std::atomic<MDB_env*> env{nullptr};
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
  char path[kPathBytes] = {};
};

MapSlot slots[kSlots];
std::mutex slots_lock;  // between openings and closings, never taken by a handler

std::atomic<bool> installed{false};
char prefix[kPrefixBytes] = {};
struct sigaction previous_segv;
struct sigaction previous_bus;

void write_text(const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    left -= static_cast<std::size_t>(written);
  }
}

void write_path_list(const bool* chosen) {
  bool first = true;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (!chosen[i]) continue;
    if (!first) write_text("' or '");
    write_text(slots[i].path);
    first = false;
  }
}

[[noreturn]] void report_and_exit(const bool* chosen, std::size_t count, const char* what, const char* detail) {
  write_text(prefix);
  write_text(count == 1 ? "store '" : "one of the stores '");
  write_path_list(chosen);
  write_text(count == 1 ? "' is damaged: reading it hit " : "' is damaged: reading them hit ");
  write_text(what);
  write_text(detail);
  write_text(count == 1 ? " (see 'vesker check " : " ('vesker check STORE' tells which");
  if (count == 1) write_path_list(chosen);
  write_text(count == 1 ? "')\n" : ")\n");
  ::_exit(1);
}

// LMDB's machine code, where a fault that misses every map (an offset read from a damaged page
// that makes no address at all) still comes from reading a store.
struct CodeRange {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
};
constexpr std::size_t kCodeRanges = 8;
CodeRange lmdb_code[kCodeRanges];

bool in_map(const MapSlot& slot, std::uintptr_t address) {
  return slot.env.load(std::memory_order_acquire) != nullptr && address >= slot.begin && address < slot.end;
}

void on_fault(int signal, siginfo_t* info, void* context) {
  const char* what = signal == SIGBUS ? "a page its data file does not hold (SIGBUS)" : "a damaged page (SIGSEGV)";
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  bool chosen[kSlots] = {};
  std::size_t count = 0;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (in_map(slots[i], address)) {
      chosen[i] = true;
      report_and_exit(chosen, 1, what, "");
    }
  }
#if defined(__x86_64__)
  // A fault in LMDB's code at an address outside every map: the store it was reading is the
  // one whose pages its registers point into, or else one of those open.
  const auto* registers = static_cast<const ucontext_t*>(context)->uc_mcontext.gregs;
  const auto pc = static_cast<std::uintptr_t>(registers[REG_RIP]);
  const bool in_lmdb = std::any_of(std::begin(lmdb_code), std::end(lmdb_code),
                                   [&](const CodeRange& range) { return pc >= range.begin && pc < range.end; });
  if (in_lmdb) {
    for (std::size_t i = 0; i < kSlots; ++i) {
      for (int r = 0; r < NGREG && !chosen[i]; ++r) {
        if (in_map(slots[i], static_cast<std::uintptr_t>(registers[r]))) {
          chosen[i] = true;
          ++count;
        }
      }
    }
    if (count == 0) {
      for (std::size_t i = 0; i < kSlots; ++i) {
        if (slots[i].env.load(std::memory_order_acquire) != nullptr) {
          chosen[i] = true;
          ++count;
        }
      }
    }
    if (count > 0) report_and_exit(chosen, count, what, "");
  }
#else
  static_cast<void>(context);
#endif
  // Not a store's page: returning repeats the fault, which the handler from before then takes.
  ::sigaction(signal, signal == SIGBUS ? &previous_bus : &previous_segv, nullptr);
}

void on_assertion(MDB_env* env, const char* message) {
  // Without the guard LMDB goes on to print the assertion and abort, as it always did.
  if (!installed.load(std::memory_order_acquire)) return;
  bool chosen[kSlots] = {};
  std::size_t count = 0;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (slots[i].env.load(std::memory_order_acquire) == env) {
      chosen[i] = true;
      ++count;
    }
  }
  if (count == 0) return;  // a store whose map was not found: LMDB's own message
  report_and_exit(chosen, 1, "a page LMDB cannot use: ", message);
}

// The executable mappings of the file that holds LMDB's code (its shared library, or the
// library it is linked into).
void find_lmdb_code() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&mdb_cursor_get), &info) == 0 || info.dli_fname == nullptr) return;
  // The maps name the file itself, not the link it was loaded by.
  char file[PATH_MAX];
  if (::realpath(info.dli_fname, file) == nullptr) return;
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return;
  char line[4096];
  std::size_t found = 0;
  while (found < kCodeRanges && std::fgets(line, sizeof line, maps) != nullptr) {
    std::uintmax_t low = 0, high = 0;
    char permissions[8];
    int path_at = 0;
    if (std::sscanf(line, "%jx-%jx %7s %*s %*s %*s %n", &low, &high, permissions, &path_at) != 3 || path_at == 0) {
      continue;
    }
    std::string_view path(line + path_at);
    while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.remove_suffix(1);
    if (permissions[2] == 'x' && path == file) {
      lmdb_code[found++] = CodeRange{static_cast<std::uintptr_t>(low), static_cast<std::uintptr_t>(high)};
    }
  }
  std::fclose(maps);
}


// Where the data file open as `fd` is mapped in this process, from /proc/self/maps.
bool find_mapping(int fd, std::uintptr_t& begin, std::uintptr_t& end) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return false;
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return false;
  char line[4096];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
    std::uintmax_t low = 0, high = 0, offset = 0, inode = 0;
    unsigned major_number = 0, minor_number = 0;
    char permissions[8];
    if (std::sscanf(line, "%jx-%jx %7s %jx %x:%x %ju", &low, &high, permissions, &offset, &major_number,
                    &minor_number, &inode) != 7) {
      continue;
    }
    if (inode == status.st_ino && major_number == major(status.st_dev) && minor_number == minor(status.st_dev)) {
      begin = static_cast<std::uintptr_t>(low);
      end = static_cast<std::uintptr_t>(high);
      found = true;
    }
  }
  std::fclose(maps);
  return found;
}

}  // namespace

void install_store_damage_guard(std::string_view text) {
  std::lock_guard guard(slots_lock);
  const std::size_t length = std::min(text.size(), kPrefixBytes - 1);
  std::memcpy(prefix, text.data(), length);
  prefix[length] = '\0';
  if (installed.load()) return;
  find_lmdb_code();
  struct sigaction action {};
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGSEGV, &action, &previous_segv);
  ::sigaction(SIGBUS, &action, &previous_bus);
  installed.store(true, std::memory_order_release);
}

void remember_store_map(MDB_env* env, const std::string& directory) {
  mdb_env_set_assert(env, on_assertion);
  int fd = -1;
  std::uintptr_t begin = 0, end = 0;
  if (mdb_env_get_fd(env, &fd) != MDB_SUCCESS || !find_mapping(fd, begin, end)) return;
  std::lock_guard guard(slots_lock);
  for (MapSlot& slot : slots) {
    if (slot.env.load() != nullptr) continue;
    slot.begin = begin;
    slot.end = end;
    const std::size_t length = std::min(directory.size(), kPathBytes - 1);
    std::memcpy(slot.path, directory.data(), length);
    slot.path[length] = '\0';
    slot.env.store(env, std::memory_order_release);
    return;
  }
}

void forget_store_map(MDB_env* env) noexcept {
  std::lock_guard guard(slots_lock);
  for (MapSlot& slot : slots) {
    if (slot.env.load() == env) slot.env.store(nullptr, std::memory_order_release);
  }
}

}  // namespace vesker
