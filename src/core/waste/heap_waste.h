// Memory the program could have without changing what it computes: copies of equal strings and
// bytes, empty collections, and collections much larger than what they hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/store/analysis_store.h"

namespace vesker::waste {

// What holds an object, as a reader names it: `Order.tags`, `__main__.names`, `dict['k']`;
// the referrer's type when the dump has no names.
struct Holder {
  std::string label;
  std::uint64_t count = 0;
};

// Equal values of one type and size: all but one could be shared.
struct DuplicateGroup {
  std::string type;
  std::string value;
  std::uint64_t size = 0;
  std::uint64_t copies = 0;
  std::uint64_t saving = 0;  // (copies - 1) x size
  std::uint64_t sample = 0;
  std::vector<Holder> holders;  // largest first
};

enum class ContainerWaste { kEmpty, kOverAllocated, kSparse };

// Containers of one type and one kind of waste under one holder.
struct ContainerGroup {
  ContainerWaste kind = ContainerWaste::kEmpty;
  std::string type;
  std::string holder;
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  std::uint64_t saving = 0;
  std::uint64_t sample = 0;
};

struct WasteOptions {
  std::uint64_t limit = 20;          // groups of each kind listed, largest saving first
  std::uint64_t holders_per_group = 5;
};

struct WasteReport {
  std::vector<DuplicateGroup> duplicates;
  std::vector<ContainerGroup> containers;  // every kind, largest saving first, `limit` of each kind
  // Totals over everything found, listed or not.
  std::uint64_t duplicate_saving = 0;
  std::uint64_t duplicate_groups = 0;
  std::uint64_t empty_saving = 0;
  std::uint64_t empty_count = 0;
  std::uint64_t over_allocated_saving = 0;
  std::uint64_t over_allocated_count = 0;
  std::uint64_t sparse_saving = 0;
  std::uint64_t sparse_count = 0;
};

// The rules, for 64-bit CPython:
// - a str value is complete when it is shorter than the dumper's value limit, bytes when the
//   object is at most that many bytes long; only complete values are compared;
// - a list, dict or set holds one reference per element (two per dict entry), so no references
//   means empty;
// - a list's capacity is (size - 56) / 8 slots; it is over-allocated when the spare slots are more
//   than its length and at least 8;
// - a dict or set is sparse when it is more than twice the size of the smallest one of the same
//   length in the same heap; the saving is the difference.
Result<WasteReport> find_waste(const Transaction& txn, const AnalysisStore& store, const WasteOptions& options,
                               Progress cancellation = {});

}  // namespace vesker::waste
