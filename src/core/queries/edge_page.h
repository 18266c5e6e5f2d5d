// One page of an object's references or referrers, in the order a view asks for.
//
// An object can have hundreds of thousands of referrers; a view shows a few hundred of them.
// The page is chosen from the edge ids and the one or two fields its order needs, with a heap
// bounded by offset + limit, and only the chosen rows are decoded whole. Ordered by id without
// a type filter, no record but the object's own is read at all.
//
// The order is the one the explorer's full lists give once sorted: by id, then stably by the
// asked key (descending reverses the key only, ties stay in ascending id). Rows without a record
// sort as the smallest (size and subtree size -1, type ""), as does a missing subtree size; a
// type filter keeps only rows with a record of exactly that type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/queries/tolerant_lookup.h"
#include "core/store/store.h"

namespace vesker {

enum class EdgeDirection : std::uint8_t { kReferences, kReferrers };
enum class EdgeOrder : std::uint8_t { kId, kSize, kSubtree, kType };

struct EdgePageRequest {
  EdgeDirection direction = EdgeDirection::kReferences;
  EdgeOrder order = EdgeOrder::kId;
  bool descending = false;
  std::string type;  // empty: every type
  std::uint64_t offset = 0;
  std::uint64_t limit = 0;
};

struct EdgePage {
  ObjectSummary object;
  std::uint64_t reference_count = 0;
  std::uint64_t referrer_count = 0;
  std::uint64_t total = 0;  // edges of the asked direction that pass the type filter
  std::vector<TolerantSummary> rows;
};

// The page, or nothing when `id` has no record.
// A failed `cancellation` check stops it with that failure.
Result<std::optional<EdgePage>> page_edges(const Store& store, std::uint64_t id, const EdgePageRequest& request,
                                           Progress cancellation = {});

// The ids of every edge of the asked direction that passes the type filter, in the asked order
// (the request's offset and limit are not used), or nothing when `id` has no record. A view
// that pages through hundreds of thousands of edges orders them once and reads each page's
// rows with `edge_rows`.
Result<std::optional<std::vector<std::uint64_t>>> order_edges(const Store& store, std::uint64_t id,
                                                              const EdgePageRequest& request,
                                                              Progress cancellation = {});

// The rows of `edge_ids`, edges of `id` in `direction`, as a page of `page_edges` shows them.
Result<std::vector<TolerantSummary>> edge_rows(const Store& store, std::uint64_t id, EdgeDirection direction,
                                               const std::vector<std::uint64_t>& edge_ids);

}  // namespace vesker
