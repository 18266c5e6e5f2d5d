// The code points that a quoted string in a decoder message shows escaped.
#pragma once

#include <cstdint>
#include <span>

namespace vesker::record_json {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;  // inclusive
};

// Sorted, disjoint ranges.
std::span<const CodePointRange> message_escaped_ranges() noexcept;

}  // namespace vesker::record_json
