#include "core/store/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>

#include "core/common/os_error.h"
#include "core/store/damage_guard.h"
#include "core/store/data_file_check.h"
#include "core/store/lmdb_error.h"

namespace vesker {
namespace {

// The identity of a data file, which outlives the path it was opened under: a bind mount, a
// renamed directory or a second hard link reach the same file under another path.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identity_of(const struct stat& status) {
  return FileIdentity{status.st_dev, status.st_ino};
}

// The environments open in this process, by canonical path and by their data file. LMDB
// forbids opening one environment twice in a process (its locks are per process), so every
// opening goes through here: a second explorer of a store gets a clear error, any other user
// gets the environment that is already open, whichever path either of them came by.
struct OpenEnvironment {
  std::weak_ptr<Environment> environment;
  bool exclusively_held = false;
  FileIdentity data_file;
};

struct OpenEnvironments {
  std::mutex lock;
  // Signalled when an environment has been closed and left the registry.
  std::condition_variable closed;
  std::map<std::string, OpenEnvironment, std::less<>> entries;

  // The entry of the store in `canonical`: by its path, or else by the data file it holds.
  auto find(const std::string& canonical) {
    auto entry = entries.find(canonical);
    if (entry != entries.end()) return entry;
    struct stat status;
    if (::stat((canonical + "/data.mdb").c_str(), &status) != 0) return entries.end();
    const FileIdentity identity = identity_of(status);
    for (entry = entries.begin(); entry != entries.end(); ++entry) {
      if (entry->second.data_file == identity) break;
    }
    return entry;
  }
};

OpenEnvironments& open_environments() {
  static OpenEnvironments registry;  // never destroyed before the last environment closes
  return registry;
}

Result<std::string> canonical_path_of(std::string_view directory) {
  const std::string path(directory);
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return fail(os_error(errno));
  return std::string(resolved);
}

// Owns an environment object until it is opened and registered.
struct EnvironmentHandle {
  MDB_env* env = nullptr;
  ~EnvironmentHandle() {
    if (env != nullptr) mdb_env_close(env);
  }
  MDB_env* release() noexcept { return std::exchange(env, nullptr); }
};

}  // namespace

namespace {

// Keeps an exclusive holder's claim on an environment; dropping it lets another explorer open
// the directory even while other users still share the environment.
struct ExclusiveClaim {
  std::shared_ptr<Environment> environment;
  ~ExclusiveClaim() {
    OpenEnvironments& registry = open_environments();
    std::lock_guard guard(registry.lock);
    if (auto entry = registry.entries.find(environment->canonical_path()); entry != registry.entries.end()) {
      entry->second.exclusively_held = false;
    }
  }
};

}  // namespace

Result<std::shared_ptr<Environment>> Environment::open_registered(std::string_view directory, bool exclusive) {
  OpenEnvironments& registry = open_environments();
  VESKER_ASSIGN_OR_RETURN(const std::string requested, canonical_path_of(directory));
  std::string canonical;  // the key of the store in the registry
  std::unique_lock guard(registry.lock);

  std::shared_ptr<Environment> environment;
  for (;;) {
    canonical = requested;
    auto entry = registry.find(requested);
    if (entry == registry.entries.end()) break;
    canonical = entry->first;  // the same store, perhaps reached under another path
    if (exclusive && entry->second.exclusively_held) {
      return fail_as(
          ErrorKind::busy,
          "environment already open in this program; close it to be able to open it again with "
          "different options");
    }
    environment = entry->second.environment.lock();
    if (environment != nullptr) break;
    // Its last user is closing it right now; a new opening must wait until LMDB let it go.
    registry.closed.wait(guard);
  }

  if (environment == nullptr) {
    VESKER_ASSIGN_OR_RETURN(environment, open_unregistered(canonical));
    int fd = -1;
    VESKER_TRY(check_lmdb(mdb_env_get_fd(environment->handle(), &fd)));
    struct stat status;
    if (::fstat(fd, &status) != 0) return fail(os_error(errno));
    registry.entries.insert_or_assign(canonical, OpenEnvironment{environment, false, identity_of(status)});
  }
  if (!exclusive) return environment;

  registry.entries.find(canonical)->second.exclusively_held = true;
  auto claim = std::make_shared<ExclusiveClaim>();  // built in place: a moved-from claim would release it
  claim->environment = environment;
  return std::shared_ptr<Environment>(claim, environment.get());
}

Result<std::shared_ptr<Environment>> Environment::open(std::string_view directory) {
  return open_registered(directory, true);
}

Result<std::shared_ptr<Environment>> Environment::share(std::string_view directory) {
  return open_registered(directory, false);
}

Result<std::shared_ptr<Environment>> Environment::open_unregistered(const std::string& canonical) {
  EnvironmentHandle handle;
  VESKER_TRY(check_lmdb(mdb_env_create(&handle.env)));
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (page_size <= 0 || kMapSize % static_cast<std::size_t>(page_size) != 0) {
    return fail_message("map size (" + std::to_string(kMapSize) +
                        ") must be a multiple of the system page size (" + std::to_string(page_size) +
                        ")");
  }
  VESKER_TRY(check_lmdb(mdb_env_set_mapsize(handle.env, kMapSize)));
  VESKER_TRY(check_lmdb(mdb_env_set_maxdbs(handle.env, kMaxDatabases)));
  VESKER_TRY(check_data_file(canonical));
  VESKER_TRY(check_lmdb(mdb_env_open(handle.env, canonical.c_str(), MDB_NOTLS, 0600)));
  // A reader killed while another process kept the store open leaves its slot behind, and the
  // snapshot it pinned keeps every later write from reusing pages: the file grows without end.
  int cleared = 0;
  VESKER_TRY(check_lmdb(mdb_reader_check(handle.env, &cleared)));
  remember_store_map(handle.env, canonical);
  return std::shared_ptr<Environment>(new Environment(handle.release(), canonical));
}

Status Environment::check_data_file_linked() const {
  int fd = -1;
  VESKER_TRY(check_lmdb(mdb_env_get_fd(env_, &fd)));
  struct stat status;
  if (::fstat(fd, &status) != 0) return fail(os_error(errno));
  if (status.st_nlink == 0) {
    return fail_message("the store's data file " + canonical_path_ +
                        "/data.mdb was deleted while the store was open; nothing written now would be kept");
  }
  return {};
}

void Environment::leave_import_facts(ImportFacts write) const {
  std::lock_guard guard(import_facts_lock_);
  import_facts_ = std::move(write);
}

Environment::ImportFacts Environment::take_import_facts() const {
  std::lock_guard guard(import_facts_lock_);
  return std::exchange(import_facts_, nullptr);
}

Environment::~Environment() {
  OpenEnvironments& registry = open_environments();
  {
    std::lock_guard guard(registry.lock);
    forget_store_map(env_);
    mdb_env_close(env_);
    // An environment that never entered the registry (its opening failed after LMDB opened it)
    // must not take out the entry of the one that did.
    if (auto entry = registry.entries.find(canonical_path_);
        entry != registry.entries.end() && entry->second.environment.expired()) {
      registry.entries.erase(entry);
    }
  }
  registry.closed.notify_all();
}

}  // namespace vesker
