#include "core/store/environment.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>

#include "core/store/lmdb_error.h"

namespace vesker {
namespace {

// The environments open in this process, by canonical path. LMDB forbids opening one
// environment twice in a process (its locks are per process), so every opening goes through
// here: a second explorer of a directory gets a clear error, any other user gets the
// environment that is already open.
struct OpenEnvironment {
  std::weak_ptr<Environment> environment;
  bool exclusively_held = false;
};

struct OpenEnvironments {
  std::mutex lock;
  // Signalled when an environment has been closed and left the registry.
  std::condition_variable closed;
  std::map<std::string, OpenEnvironment, std::less<>> entries;
};

OpenEnvironments& open_environments() {
  static OpenEnvironments registry;  // never destroyed before the last environment closes
  return registry;
}

Error os_error(int code) {
  return Error::message(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
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
  VESKER_ASSIGN_OR_RETURN(std::string canonical, canonical_path_of(directory));
  std::unique_lock guard(registry.lock);

  std::shared_ptr<Environment> environment;
  for (;;) {
    auto entry = registry.entries.find(canonical);
    if (entry == registry.entries.end()) break;
    if (exclusive && entry->second.exclusively_held) {
      return fail_message(
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
    registry.entries.insert_or_assign(canonical, OpenEnvironment{environment, false});
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
  VESKER_TRY(check_lmdb(mdb_env_open(handle.env, canonical.c_str(), MDB_NOTLS, 0600)));
  return std::shared_ptr<Environment>(new Environment(handle.release(), canonical));
}

Environment::~Environment() {
  OpenEnvironments& registry = open_environments();
  {
    std::lock_guard guard(registry.lock);
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
