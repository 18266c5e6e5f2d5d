// A look at a store's data file before LMDB maps it. LMDB trusts its meta page: a data file
// shorter than the pages the meta page claims (an interrupted copy, a truncation) is mapped
// anyway, and the first read of a missing page kills the process with a bus error.
#pragma once

#include <string>

#include "core/common/error.h"

namespace vesker {

// Fails with a message naming the damage when `directory`'s data.mdb cannot hold every page
// its newest valid meta page claims, or when an existing store (one with a lock file) has an
// empty data file. A missing data file, or an empty one without a lock file, is a new store.
Status check_data_file(const std::string& directory);

}  // namespace vesker
