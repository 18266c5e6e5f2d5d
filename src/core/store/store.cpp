#include "core/store/store.h"

namespace vesker {

Result<Database> open_database(const Transaction& txn, const Environment& environment, const char* name,
                               unsigned flags) {
  MDB_dbi dbi = 0;
  VESKER_TRY(check_lmdb(mdb_dbi_open(txn.handle(), name, flags, &dbi)));
  return Database{&environment, dbi};
}

namespace {

// Opens the six databases in `txn`; with `create` false, an absent one is MDB_NOTFOUND.
Status open_six(Store& store, const Transaction& txn, unsigned create) {
  const Environment& env = *store.environment;
  VESKER_ASSIGN_OR_RETURN(store.primary, open_database(txn, env, "primary", MDB_INTEGERKEY | create));
  VESKER_ASSIGN_OR_RETURN(store.referrers, open_database(txn, env, "referrers",
                                                         MDB_DUPSORT | MDB_INTEGERKEY | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(store.types, open_database(txn, env, "types", MDB_DUPSORT | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(store.types_size_index,
                          open_database(txn, env, "types_size_index", MDB_DUPSORT | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(store.types_subtree_size_index,
                          open_database(txn, env, "types_subtree_size_index", MDB_DUPSORT | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(store.type_summaries, open_database(txn, env, "type_summaries", create));
  return {};
}

Result<Store> open_databases(std::shared_ptr<Environment> environment) {
  Store store;
  store.environment = std::move(environment);
  VESKER_TRY(open_or_create(store, [&](const Transaction& txn, unsigned create) { return open_six(store, txn, create); }));
  return store;
}

}  // namespace

Result<Store> Store::open(std::string_view directory) {
  VESKER_ASSIGN_OR_RETURN(std::shared_ptr<Environment> environment, Environment::open(directory));
  return open_databases(std::move(environment));
}

Result<Store> Store::share(std::string_view directory) {
  VESKER_ASSIGN_OR_RETURN(std::shared_ptr<Environment> environment, Environment::share(directory));
  return open_databases(std::move(environment));
}

}  // namespace vesker
