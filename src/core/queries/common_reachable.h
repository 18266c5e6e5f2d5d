// The object of largest subtree size reachable from both of two objects.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/queries/object_lookup.h"
#include "core/store/store.h"

namespace vesker {

// One pending expansion of one of the two searches; ordered by subtree size alone.
struct QueueItem {
  std::uint64_t id = 0;
  std::uint64_t subtree_size = 0;
  std::vector<std::uint64_t> references;
  bool side = false;  // false: the search from the first object; true: from the second
};

// An array-based binary max-heap of queue items. Which of several equal items comes out first
// follows from exactly these moves, so they are spelled out rather than left to a library:
// a push moves the new item up while it is strictly larger than its parent; a pop moves the
// hole left by the root down to the bottom along the larger child (the right one on a tie),
// fills it with the last item and moves that up while strictly larger than its parent.
class QueueItemHeap {
 public:
  bool empty() const noexcept { return items_.empty(); }
  std::size_t size() const noexcept { return items_.size(); }

  void push(QueueItem item);
  // The root; the heap must not be empty.
  QueueItem pop();

 private:
  void sift_up(std::size_t position);

  std::vector<QueueItem> items_;
};

// The id of the first object that both best-first searches take, or nothing when they share
// none. Both searches expand the largest pending object first, never enter an object of type
// "builtins.module" and need a subtree size for every object they reach. A failed
// `cancellation` check stops them with that failure.
Result<std::optional<std::uint64_t>> find_largest_common_reachable_object(
    const Store& store, std::uint64_t obj_id1, std::uint64_t obj_id2, MissingRecords missing = MissingRecords::kFail,
    Progress cancellation = {});

}  // namespace vesker
