#include "core/store/environment.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>

#include "core/store/lmdb_error.h"

namespace vesker {
namespace {

// Canonical paths of the environments open in this process. LMDB forbids opening one
// environment twice in a process (its locks are per process), so the registry turns that
// into a clear error instead of undefined behaviour.
struct OpenEnvironments {
  std::shared_mutex lock;
  std::set<std::string, std::less<>> paths;
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

Result<std::shared_ptr<Environment>> Environment::open(std::string_view directory) {
  OpenEnvironments& registry = open_environments();
  std::unique_lock guard(registry.lock);

  VESKER_ASSIGN_OR_RETURN(std::string canonical, canonical_path_of(directory));
  if (registry.paths.contains(canonical)) {
    return fail_message(
        "environment already open in this program; close it to be able to open it again with "
        "different options");
  }

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

  registry.paths.insert(canonical);
  return std::shared_ptr<Environment>(new Environment(handle.release(), std::move(canonical)));
}

Environment::~Environment() {
  OpenEnvironments& registry = open_environments();
  std::unique_lock guard(registry.lock);
  mdb_env_close(env_);
  registry.paths.erase(canonical_path_);
}

}  // namespace vesker
