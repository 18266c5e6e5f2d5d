// Per-type counts and summaries, and pages of a type's objects in index order or by size.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

inline constexpr std::uint64_t kPageSize = 1000;

// The number of objects of `type` (0 for a type without a summary row).
Result<std::uint64_t> get_count_for_type(const Store& store, const Type& type);
// The number of pages of kPageSize objects that the type's listings have.
Result<std::uint64_t> get_page_count_for_type(const Store& store, const Type& type);
// Every summary row, the all-types row included, in key order.
Result<std::vector<std::pair<Type, TypeSummary>>> get_type_summaries(const Store& store);

// One page of the type's objects in the order of `types` (byte order of the little-endian
// ids); every object when `page` is nothing.
Result<std::vector<ObjectSummary>> get_objects_by_type(const Store& store, const Type& type,
                                                       std::optional<std::uint64_t> page);
// One page of the type's objects, largest direct (or subtree) size first, equal sizes by
// ascending id; every object when `page` is nothing.
Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Store& store, const Type& type,
                                                                       bool subtree_size,
                                                                       std::optional<std::uint64_t> page);

}  // namespace vesker
