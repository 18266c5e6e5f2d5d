// What the comparisons ask of retained sizes: per object, its immediate dominator and the size
// that its death would free. The retained-size analysis keeps both beside the store; a store
// without them is compared by direct sizes alone.
#pragma once

#include <cstdint>
#include <optional>

#include "core/common/error.h"

namespace vesker {

struct DominatorFacts {
  std::uint64_t immediate_dominator = 0;  // 0: the object hangs directly from the roots
  std::uint64_t retained_size = 0;
};

class RetainedFacts {
 public:
  virtual ~RetainedFacts() = default;
  // Nothing for an object the analysis did not reach.
  virtual Result<std::optional<DominatorFacts>> facts(std::uint64_t id) const = 0;
};

}  // namespace vesker
