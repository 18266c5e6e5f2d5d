#include "core/analysis/summed_radix_tree.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "core/analysis/size_estimator.h"

namespace vesker::analysis {
namespace {

static_assert(SizeEstimator<ExactSizeEstimator>);

using Tree = SummedRadixTree;

TreeHash leaf_hash(const std::array<std::uint64_t, 8>& slots) {
  unsigned char bytes[64];
  for (int j = 0; j < 8; ++j) {
    for (int b = 0; b < 8; ++b) bytes[8 * j + b] = static_cast<unsigned char>(slots[j] >> (8 * b));
  }
  const XXH128_hash_t digest = XXH3_128bits(bytes, sizeof bytes);
  return {digest.low64, digest.high64};
}

void expect_only_child(const Tree& branch, int level, int digit) {
  ASSERT_EQ(branch.kind(), TreeNodeKind::kBranch);
  EXPECT_EQ(branch.level(), level);
  for (int j = 0; j < 8; ++j) {
    if (j == digit) continue;
    EXPECT_TRUE(branch.child(j).is_same_node(Tree::empty())) << "level " << level << " child " << j;
  }
}

TEST(SummedRadixTreeTest, SingletonShapes) {
  const Tree empty = Tree::empty();
  EXPECT_EQ(empty.kind(), TreeNodeKind::kEmpty);
  EXPECT_EQ(empty.sum(), 0u);
  EXPECT_EQ(empty.hash(), TreeHash{});

  const Tree five = Tree::add(empty, 5, 10);
  ASSERT_EQ(five.kind(), TreeNodeKind::kLeaf);
  EXPECT_EQ(five.sum(), 10u);
  EXPECT_EQ(five.hash(), leaf_hash({0, 0, 0, 0, 0, 10, 0, 0}));
  for (int j = 0; j < 8; ++j) EXPECT_EQ(five.slot(j), j == 5 ? 10u : 0u);

  const Tree eight = Tree::add(empty, 8, 10);
  expect_only_child(eight, 1, 1);
  EXPECT_EQ(eight.sum(), 10u);
  ASSERT_EQ(eight.child(1).kind(), TreeNodeKind::kLeaf);
  EXPECT_EQ(eight.child(1).slot(0), 10u);
  // Children's hashes, low half then high half, little-endian; Empty is zeros.
  unsigned char bytes[128] = {};
  const TreeHash leaf = eight.child(1).hash();
  for (int b = 0; b < 8; ++b) {
    bytes[16 + b] = static_cast<unsigned char>(leaf.low >> (8 * b));
    bytes[24 + b] = static_cast<unsigned char>(leaf.high >> (8 * b));
  }
  const XXH128_hash_t digest = XXH3_128bits(bytes, sizeof bytes);
  EXPECT_EQ(eight.hash(), (TreeHash{digest.low64, digest.high64}));

  const Tree sixty_four = Tree::add(empty, 64, 1);
  expect_only_child(sixty_four, 2, 1);
  expect_only_child(sixty_four.child(1), 1, 0);
  EXPECT_EQ(sixty_four.child(1).child(0).slot(0), 1u);
  EXPECT_EQ(sixty_four.sum(), 1u);

  const Tree largest = Tree::add(empty, UINT64_MAX, 3);
  Tree node = largest;
  for (int level = Tree::kMaxLevel; level >= 1; --level) {
    const int digit = level == Tree::kMaxLevel ? 1 : 7;  // 2^64-1 = 1 followed by 21 digits 7
    expect_only_child(node, level, digit);
    EXPECT_EQ(node.sum(), 3u);
    node = node.child(digit);
  }
  ASSERT_EQ(node.kind(), TreeNodeKind::kLeaf);
  EXPECT_EQ(node.slot(7), 3u);
}

TEST(SummedRadixTreeTest, UnchangedResultsAreTheOperandsThemselves) {
  const Tree empty = Tree::empty();
  Tree tree = Tree::add(Tree::add(empty, 3, 7), 700, 2);
  EXPECT_TRUE(Tree::union_of(empty, tree).is_same_node(tree));
  EXPECT_TRUE(Tree::union_of(tree, empty).is_same_node(tree));
  EXPECT_TRUE(Tree::union_of(tree, tree).is_same_node(tree));
  EXPECT_TRUE(Tree::add(tree, 3, 7).is_same_node(tree));
  EXPECT_TRUE(Tree::add(tree, 4, 0).is_same_node(tree));
  EXPECT_TRUE(Tree::add(tree, 1u << 30, 0).is_same_node(tree));

  // Equal contents in distinct nodes: the operand with more references wins, a on a tie.
  const Tree a = Tree::add(empty, 12, 5);
  const Tree b = Tree::add(empty, 12, 5);
  ASSERT_FALSE(a.is_same_node(b));
  EXPECT_TRUE(Tree::union_of(a, b).is_same_node(a));
  EXPECT_TRUE(Tree::union_of(b, a).is_same_node(b));
  const Tree extra_reference = b;
  EXPECT_TRUE(Tree::union_of(a, b).is_same_node(b));
}

TEST(SummedRadixTreeTest, SharedIdsKeepTheLargerWeightOnce) {
  const Tree empty = Tree::empty();
  const Tree three = Tree::add(empty, 9, 3);
  const Tree seven = Tree::add(empty, 9, 7);
  for (const Tree& merged : {Tree::union_of(three, seven), Tree::union_of(seven, three), Tree::add(seven, 9, 3),
                             Tree::add(three, 9, 7)}) {
    EXPECT_EQ(merged.sum(), 7u);
    EXPECT_EQ(merged.hash(), seven.hash());
  }
}

TEST(SummedRadixTreeTest, LowerTreesMergeIntoChildZeroOnly) {
  const Tree empty = Tree::empty();
  const Tree top = Tree::add(Tree::add(empty, 64, 1), 130, 2);  // level 2, children 1 and 2
  const Tree leaf = Tree::add(Tree::add(empty, 1, 10), 6, 20);

  const Tree into_empty_child = Tree::union_of(top, leaf);
  EXPECT_EQ(into_empty_child.level(), 2);
  EXPECT_TRUE(into_empty_child.child(0).is_same_node(leaf));
  for (int j = 1; j < 8; ++j) EXPECT_TRUE(into_empty_child.child(j).is_same_node(top.child(j)));
  EXPECT_EQ(into_empty_child.sum(), 33u);
  // Operand order does not change the shape.
  EXPECT_EQ(Tree::union_of(leaf, top).hash(), into_empty_child.hash());

  const Tree with_leaf_child = Tree::add(top, 6, 5);  // child 0 becomes a Leaf
  ASSERT_EQ(with_leaf_child.child(0).kind(), TreeNodeKind::kLeaf);
  const Tree leaf_merged = Tree::union_of(with_leaf_child, leaf);
  ASSERT_EQ(leaf_merged.child(0).kind(), TreeNodeKind::kLeaf);
  EXPECT_EQ(leaf_merged.child(0).slot(1), 10u);
  EXPECT_EQ(leaf_merged.child(0).slot(6), 20u);
  EXPECT_EQ(leaf_merged.sum(), 33u);

  const Tree with_branch_child = Tree::add(top, 9, 4);  // child 0 becomes a level-1 Branch
  const Tree branch_merged = Tree::union_of(with_branch_child, leaf);
  const Tree child_zero = branch_merged.child(0);
  ASSERT_EQ(child_zero.kind(), TreeNodeKind::kBranch);
  EXPECT_EQ(child_zero.level(), 1);
  EXPECT_TRUE(child_zero.child(0).is_same_node(leaf));
  EXPECT_TRUE(child_zero.child(1).is_same_node(with_branch_child.child(0).child(1)));
  EXPECT_EQ(branch_merged.sum(), 37u);
}

// Sets with ids in a narrow range (shared leaves and branches) and across the
// whole 64-bit range (sparse, deep trees).
class SummedRadixTreePropertyTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SummedRadixTreePropertyTest, AnyBuildOrderGivesTheSameTree) {
  const std::uint64_t id_mask = GetParam();
  std::mt19937_64 random(7 + id_mask);
  for (int round = 0; round < 30; ++round) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> elements;
    const int count = static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) elements.emplace_back(random() & id_mask, random() % 1000);
    // Repeat some ids with other weights.
    for (int i = 0; i < count / 4; ++i) elements.emplace_back(elements[random() % count].first, random() % 1000);
    std::map<std::uint64_t, std::uint64_t> largest;
    for (auto [id, weight] : elements) largest[id] = std::max(largest[id], weight);
    std::uint64_t expected_sum = 0;
    for (auto [id, weight] : largest) expected_sum += weight;

    Tree in_order = Tree::empty();
    for (auto [id, weight] : elements) in_order = Tree::add(in_order, id, weight);
    EXPECT_EQ(in_order.sum(), expected_sum);

    std::shuffle(elements.begin(), elements.end(), random);
    std::vector<Tree> parts(1 + random() % 5, Tree::empty());
    ExactSizeEstimator shuffled;
    for (auto [id, weight] : elements) {
      shuffled.add_in_place(id, weight);
      Tree& part = parts[random() % parts.size()];
      part = Tree::add(part, id, weight);
    }
    EXPECT_EQ(shuffled.tree().hash(), in_order.hash());
    EXPECT_EQ(shuffled.estimate(), expected_sum);

    // Merge the parts pairwise, including overlapping re-merges.
    Tree merged = Tree::empty();
    for (const Tree& part : parts) merged = Tree::union_of(part, merged);
    merged = Tree::union_of(merged, parts[0]);
    EXPECT_EQ(merged.hash(), in_order.hash());
    EXPECT_EQ(merged.sum(), expected_sum);
    ExactSizeEstimator by_include;
    for (const Tree& part : parts) by_include.include(ExactSizeEstimator(part));
    EXPECT_EQ(by_include.tree().hash(), in_order.hash());
  }
}

INSTANTIATE_TEST_SUITE_P(IdRanges, SummedRadixTreePropertyTest,
                         ::testing::Values(std::uint64_t{0x3FF}, std::uint64_t{0xFFFF'FFFF'FFFF'FFFF}));

TEST(SummedRadixTreeTest, ReferencesAreReturnedWhenTreesGo) {
  const std::size_t baseline = Tree::empty().reference_count();
  const std::size_t nodes_before = Tree::thread_node_count();
  {
    ExactSizeEstimator estimator;
    std::vector<ExactSizeEstimator> versions;
    for (std::uint64_t id = 0; id < 200'000; ++id) {
      estimator.add_in_place(id * 7919, 1);
      if (id % 1000 == 0) versions.push_back(estimator);
    }
    EXPECT_EQ(estimator.estimate(), 200'000u);
    EXPECT_EQ(versions.back().estimate(), 199'001u);
    EXPECT_GT(Tree::thread_node_count(), nodes_before + 200'000 / 8);
    // The whole tree goes at once here, children through the dead-node chain.
  }
  EXPECT_EQ(Tree::empty().reference_count(), baseline);
  EXPECT_EQ(Tree::thread_node_count(), nodes_before);
}

TEST(SummedRadixTreeTest, EveryThreadHasItsOwnNodes) {
  const Tree kept = Tree::add(Tree::add(Tree::empty(), 9, 1), 700, 2);
  const std::size_t nodes_here = Tree::thread_node_count();
  std::size_t nodes_there_while_built = 0;
  std::size_t nodes_there_after = 1;
  std::thread([&] {
    {
      Tree tree = Tree::empty();
      for (std::uint64_t id = 0; id < 5000; ++id) tree = Tree::add(tree, id * 31, id + 1);
      nodes_there_while_built = Tree::thread_node_count();
      EXPECT_EQ(tree.sum(), 5000u * 5001u / 2);
    }
    nodes_there_after = Tree::thread_node_count();
  }).join();
  EXPECT_GT(nodes_there_while_built, 5000u / 8);
  EXPECT_EQ(nodes_there_after, 0u);
  EXPECT_EQ(Tree::thread_node_count(), nodes_here);
  EXPECT_EQ(Tree::add(kept, 701, 3).sum(), 6u);
}

}  // namespace
}  // namespace vesker::analysis
