// The LMDB environment of one store directory, and the process-wide rule that a
// directory is open at most once: every module of the process that reads or writes a store
// goes through one registry, so two of them share one environment instead of opening two.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/common/error.h"

namespace vesker {

class Transaction;

class Environment {
 public:
  // Opens (creating the files if needed) the environment in an existing directory, for an owner
  // that must be its only exclusive holder in this process (an explorer). The environment itself
  // is shared with the other users that `share` handed it to.
  static Result<std::shared_ptr<Environment>> open(std::string_view directory);
  // The environment of the directory as this process already has it open, or newly opened.
  static Result<std::shared_ptr<Environment>> share(std::string_view directory);

  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  ~Environment();

  MDB_env* handle() const noexcept { return env_; }
  const std::string& canonical_path() const noexcept { return canonical_path_; }
  // Fails when the data file has no name left (its directory was deleted while open): what is
  // written then vanishes when the environment closes, so no write may be reported as done.
  Status check_data_file_linked() const;

  // Facts about an import that must be committed with its results or not at all (how the store
  // was built, where its dump came from, what the dump lacked): whoever starts an import in this
  // process leaves their writing here, and the import's last transaction runs it before it commits.
  // It passes the number of references to ids without a record when it has read every record
  // already; without it, the writing counts them itself.
  using ImportFacts = std::function<Status(Transaction&, std::optional<std::uint64_t> dangling_references)>;
  void leave_import_facts(ImportFacts write) const;
  ImportFacts take_import_facts() const;

  static constexpr std::size_t kMapSize = std::size_t{1} << 36;  // 64 GiB
  // The explorer's six databases and the analyses' own beside them.
  static constexpr MDB_dbi kMaxDatabases = 32;

 private:
  static Result<std::shared_ptr<Environment>> open_registered(std::string_view directory, bool exclusive);
  static Result<std::shared_ptr<Environment>> open_unregistered(const std::string& canonical);

  Environment(MDB_env* env, std::string canonical_path) noexcept
      : env_(env), canonical_path_(std::move(canonical_path)) {}

  MDB_env* env_;
  std::string canonical_path_;
  mutable std::mutex import_facts_lock_;
  mutable ImportFacts import_facts_;
};

// A named database, bound to the environment that opened it.
struct Database {
  const Environment* environment = nullptr;
  MDB_dbi dbi = 0;
};

}  // namespace vesker
