#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "core/queries/common_reachable.h"

namespace vesker {
namespace {

std::vector<std::uint64_t> push_then_pop_all(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& items) {
  QueueItemHeap heap;
  for (const auto& [id, size] : items) heap.push(QueueItem{id, size, {}, false});
  std::vector<std::uint64_t> ids;
  while (!heap.empty()) ids.push_back(heap.pop().id);
  return ids;
}

// Among equal items the order is fixed by the moves of push and pop alone: pushes never pass an
// equal parent, and a pop's hole takes the right child when both children are equal.
TEST(QueueItemHeap, EqualItemsComeOutInTheOrderTheMovesGive) {
  EXPECT_EQ(push_then_pop_all({{1, 5}, {2, 5}}), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(push_then_pop_all({{1, 5}, {2, 5}, {3, 5}}), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(push_then_pop_all({{1, 5}, {2, 5}, {3, 5}, {4, 5}}), (std::vector<std::uint64_t>{1, 3, 2, 4}));
  EXPECT_EQ(push_then_pop_all({{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}),
            (std::vector<std::uint64_t>{1, 3, 5, 2, 4}));
}

TEST(QueueItemHeap, TheLastItemClimbsBackFromTheBottomButNotPastAnEqualOne) {
  // After popping 10 the hole sinks to the slot of the second 1 (the right one of two equal
  // children); 7 goes there and climbs above both 1s, but stops below 9.
  EXPECT_EQ(push_then_pop_all({{10, 10}, {9, 9}, {8, 8}, {11, 1}, {12, 1}, {7, 7}}),
            (std::vector<std::uint64_t>{10, 9, 8, 7, 11, 12}));
  // An item equal to its new parent stays below it: 3 and 4 are both 6.
  EXPECT_EQ(push_then_pop_all({{1, 9}, {2, 6}, {3, 6}, {4, 6}}), (std::vector<std::uint64_t>{1, 3, 2, 4}));
}

TEST(QueueItemHeap, PopsEveryItemOnceLargestFirstAcrossInterleavedPushes) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 200; ++round) {
    QueueItemHeap heap;
    std::multiset<std::uint64_t> inside;
    std::uint64_t next_id = 0;
    const int steps = static_cast<int>(random() % 300);
    for (int step = 0; step < steps || !heap.empty(); ++step) {
      if (step < steps && (heap.empty() || random() % 3 != 0)) {
        // Few distinct sizes in half the rounds, so that most comparisons are ties.
        const std::uint64_t size = round % 2 == 0 ? random() % 4 : random();
        const std::uint64_t id = next_id++;
        heap.push(QueueItem{id, size, {size, id}, true});
        inside.insert(size);
      } else {
        const QueueItem item = heap.pop();
        ASSERT_EQ(item.subtree_size, *inside.rbegin());
        ASSERT_EQ(item.references, (std::vector<std::uint64_t>{item.subtree_size, item.id}));
        inside.erase(inside.find(item.subtree_size));
      }
      ASSERT_EQ(heap.size(), inside.size());
    }
  }
}

}  // namespace
}  // namespace vesker
