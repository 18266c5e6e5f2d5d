// The LMDB environment of one store directory, and the process-wide rule that a
// directory is open at most once.
#pragma once

#include <lmdb.h>

#include <memory>
#include <string>
#include <string_view>

#include "core/common/error.h"

namespace vesker {

class Environment {
 public:
  // Opens (creating the files if needed) the environment in an existing directory.
  static Result<std::shared_ptr<Environment>> open(std::string_view directory);

  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  ~Environment();

  MDB_env* handle() const noexcept { return env_; }
  const std::string& canonical_path() const noexcept { return canonical_path_; }

  static constexpr std::size_t kMapSize = std::size_t{1} << 36;  // 64 GiB
  static constexpr MDB_dbi kMaxDatabases = 7;

 private:
  Environment(MDB_env* env, std::string canonical_path) noexcept
      : env_(env), canonical_path_(std::move(canonical_path)) {}

  MDB_env* env_;
  std::string canonical_path_;
};

// A named database, bound to the environment that opened it.
struct Database {
  const Environment* environment = nullptr;
  MDB_dbi dbi = 0;
};

}  // namespace vesker
