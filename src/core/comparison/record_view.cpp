#include "core/comparison/record_view.h"

#include <cstring>

namespace vesker {
namespace {

// Every record that the store writes ends with its subtree size. Inside a text every quote is
// escaped, so the key with its bare quotes can only be the record's own, and what comes before
// it is every other field.
constexpr std::string_view kSubtreeKey = ",\"subtree_size\":";

}  // namespace

bool same_but_subtree_size(std::string_view stored, std::string_view other) {
  const std::size_t end = stored.rfind(kSubtreeKey);
  if (end == std::string_view::npos) return stored == other;
  return other.size() > end && other.compare(end, kSubtreeKey.size(), kSubtreeKey) == 0 &&
         std::memcmp(stored.data(), other.data(), end) == 0;
}

}  // namespace vesker
