#include "core/store/analysis_store.h"

namespace vesker {

namespace {

// Opens the analyses' databases in `txn`; with `create` 0, an absent one fails (MDB_NOTFOUND).
Status open_analysis_databases(AnalysisStore& opened, const Transaction& txn, unsigned create) {
  const Environment& environment = *opened.store.environment;
  VESKER_ASSIGN_OR_RETURN(opened.metadata, open_database(txn, environment, "analysis.metadata", create));
  VESKER_ASSIGN_OR_RETURN(opened.dominators,
                          open_database(txn, environment, "analysis.dominators", MDB_INTEGERKEY | create));
  VESKER_ASSIGN_OR_RETURN(opened.dominator_children, open_database(txn, environment, "analysis.dominator_children",
                                                                   MDB_DUPSORT | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(opened.retained_index, open_database(txn, environment, "analysis.retained_index",
                                                               MDB_DUPSORT | MDB_DUPFIXED | create));
  VESKER_ASSIGN_OR_RETURN(opened.type_retained, open_database(txn, environment, "analysis.type_retained", create));
  VESKER_ASSIGN_OR_RETURN(opened.reference_names,
                          open_database(txn, environment, "analysis.reference_names", MDB_INTEGERKEY | create));
  return {};
}

}  // namespace

Result<std::shared_ptr<const AnalysisStore>> AnalysisStore::open(std::string_view directory) {
  auto opened = std::make_shared<AnalysisStore>();
  VESKER_ASSIGN_OR_RETURN(opened->store, Store::share(directory));
  VESKER_TRY(open_or_create(opened->store, [&](const Transaction& txn, unsigned create) {
    return open_analysis_databases(*opened, txn, create);
  }));
  return std::shared_ptr<const AnalysisStore>(std::move(opened));
}

Result<Metadata> read_metadata(const Transaction& txn, const AnalysisStore& store) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.metadata));
  Metadata entries;
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  while (entry) {
    entries.emplace_back(std::string(entry->key), std::string(entry->value));
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  return entries;
}

Status write_metadata(Transaction& txn, const AnalysisStore& store, std::string_view key, std::string_view value) {
  return txn.put(store.metadata, key, value);
}

}  // namespace vesker
