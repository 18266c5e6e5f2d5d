// A full read of a store, to tell whether it is sound before anyone relies on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

struct StoreCheck {
  std::uint64_t databases = 0;
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  std::vector<std::string> problems;  // empty for a sound store
};

// Walks every database of the environment (the explorer's and any other) from its first entry
// to its last, touching every byte of every key and value, so that every branch, leaf and
// overflow page is read once. Checks that each database holds as many entries as its header
// says and that every record of `primary` decodes under its own id.
//
// A page damaged in a way LMDB only asserts on stops the process: run it where that is safe.
Result<StoreCheck> check_store(const Store& store);

}  // namespace vesker
