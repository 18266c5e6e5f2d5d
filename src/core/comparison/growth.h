// Objects that keep growing across dumps of one process: the usual shape of a cache or a list
// that is never pruned.
//
// The stores, in time order, are read in id order side by side in one merge pass. An object of
// the last dump is followed back through the dumps for as long as the same object (see
// object_identity.h) is there; it grows when its size never shrinks along that run and ends larger
// than it began. The size is the retained size where the store has retained facts, else the
// subtree size.
//
// Growth shows in every object above the one that grows; `growth_sources` keeps the places
// where it happens. Memory grows with the number of growing objects, not with the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/comparison/retained_facts.h"
#include "core/store/store.h"

namespace vesker {

struct GrowingObject {
  std::uint64_t id = 0;
  std::string type;
  std::optional<std::string> value;
  std::vector<std::optional<std::uint64_t>> sizes;  // one per dump, nothing before the object existed
};

struct Growth {
  std::vector<GrowingObject> objects;  // where growth happens, largest final size first, then by id
  std::uint64_t growing = 0;           // how many grew, those that only pass growth on included
  std::uint64_t sources = 0;           // how many of them are where growth happens
};

struct GrowthInput {
  const Store* store = nullptr;
  const RetainedFacts* retained = nullptr;  // null: subtree sizes
};

Result<Growth> find_growth(std::span<const GrowthInput> dumps, std::size_t limit);

}  // namespace vesker
