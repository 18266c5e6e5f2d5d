// Fields read straight from a stored record, for scans over many records that need one or two
// of them. The store writes every record in one form (see the record encoder): compact JSON,
// the keys in declaration order, so the type is near the start and the sizes end it. These
// readers give nothing for any other text; callers then decode the record whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vesker {

struct StoredSizes {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;
};

// `..,"size":N,"subtree_size":M}` or `..,"subtree_size":null}`.
std::optional<StoredSizes> stored_sizes(std::string_view record);

// `{"id":N,"type":"T",..` when T has no escapes; a view into `record`.
std::optional<std::string_view> stored_type(std::string_view record);

}  // namespace vesker
