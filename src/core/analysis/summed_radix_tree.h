// An exact, de-duplicating sum over weighted ids: an immutable radix tree on
// the base-8 digits of the id (least significant digit at the leaves) in which
// every node stores the total weight below it and a 128-bit content hash.
//
// Trees are persistent values. `add` and `union_of` build new nodes only where
// their result differs from the inputs and share everything else, and two
// subtrees with equal hashes are taken to hold the same elements, so merging
// the trees of components that overlap costs little and counts every id once.
//
// Reference counts are plain integers, and nodes come from a pool of the
// thread that made them: a tree and all nodes reachable from it belong to that
// thread, and are dropped there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vesker::analysis {

struct TreeHash {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  friend bool operator==(const TreeHash&, const TreeHash&) = default;
};

enum class TreeNodeKind : std::uint8_t { kEmpty, kLeaf, kBranch };

namespace radix_tree_detail {

// The head of every node. Leaves and Branches extend it by their slots or
// children (summed_radix_tree.cpp); the counting, sum and hash are read here so
// that copying, dropping and reading a tree are inline.
struct Node {
  union {
    std::size_t references;
    // Reused once `references` has dropped to zero: the chain of nodes that
    // are waiting to be freed.
    Node* next_dead;
  };
  TreeNodeKind kind;
  std::uint8_t level;  // Branch only
  std::uint64_t sum = 0;
  TreeHash hash;

  explicit Node(TreeNodeKind node_kind, std::uint8_t node_level = 0) noexcept
      : references(1), kind(node_kind), level(node_level) {}
};

inline Node* new_reference(Node* node) noexcept {
  ++node->references;
  return node;
}
// Frees a node whose last reference has gone, and every node only it held.
void free_unreferenced(Node* node) noexcept;
inline void release(Node* node) noexcept {
  if (--node->references == 0) free_unreferenced(node);
}

// Access to a tree's node for the implementation.
struct Access;

}  // namespace radix_tree_detail

// A counted reference to an immutable tree node; copying adds a reference and
// destruction drops one. Freeing a node releases its children without
// recursion, however many nodes go at once.
class SummedRadixTree {
 public:
  static constexpr int kLeafSlots = 8;
  // 8^21 = 2^63: the top digit of a 64-bit id sits at this level.
  static constexpr int kMaxLevel = 21;

  // A new reference to this thread's shared empty tree.
  static SummedRadixTree empty();

  SummedRadixTree(const SummedRadixTree& other) noexcept : node_(radix_tree_detail::new_reference(other.node_)) {}
  SummedRadixTree(SummedRadixTree&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  SummedRadixTree& operator=(const SummedRadixTree& other) noexcept {
    radix_tree_detail::Node* previous = std::exchange(node_, radix_tree_detail::new_reference(other.node_));
    if (previous != nullptr) radix_tree_detail::release(previous);
    return *this;
  }
  SummedRadixTree& operator=(SummedRadixTree&& other) noexcept {
    if (this != &other) {
      radix_tree_detail::Node* previous = std::exchange(node_, std::exchange(other.node_, nullptr));
      if (previous != nullptr) radix_tree_detail::release(previous);
    }
    return *this;
  }
  ~SummedRadixTree() {
    if (node_ != nullptr) radix_tree_detail::release(node_);
  }

  // The elements of `tree` plus (id, weight); an id already present keeps the
  // larger of its two weights. Returns `tree` itself when nothing would change.
  static SummedRadixTree add(const SummedRadixTree& tree, std::uint64_t id, std::uint64_t weight);
  // The elements of both trees, the larger weight where both hold an id.
  static SummedRadixTree union_of(const SummedRadixTree& a, const SummedRadixTree& b);

  TreeNodeKind kind() const noexcept { return node_->kind; }
  // Empty: 0 and the all-zero hash, as a parent reads them.
  std::uint64_t sum() const noexcept { return node_->sum; }
  TreeHash hash() const noexcept { return node_->hash; }
  // Branch only.
  int level() const noexcept { return node_->level; }
  SummedRadixTree child(int digit) const noexcept;
  // Leaf only.
  std::uint64_t slot(int digit) const noexcept;

  std::size_t reference_count() const noexcept { return node_->references; }
  bool is_same_node(const SummedRadixTree& other) const noexcept { return node_ == other.node_; }

  // The Leaves and Branches alive in this thread, of all its trees together.
  static std::size_t thread_node_count() noexcept;

 private:
  friend struct radix_tree_detail::Access;
  // Takes over one reference already counted for `node`.
  explicit SummedRadixTree(radix_tree_detail::Node* node) noexcept : node_(node) {}

  radix_tree_detail::Node* node_;
};

// The exact estimator: holds a tree and replaces it by each addition or merge.
class ExactSizeEstimator {
 public:
  ExactSizeEstimator() : tree_(SummedRadixTree::empty()) {}
  explicit ExactSizeEstimator(SummedRadixTree tree) noexcept : tree_(std::move(tree)) {}

  void add_in_place(std::uint64_t key, std::uint64_t weight) { tree_ = SummedRadixTree::add(tree_, key, weight); }
  void include(const ExactSizeEstimator& other) { tree_ = SummedRadixTree::union_of(tree_, other.tree_); }
  std::uint64_t estimate() const noexcept { return tree_.sum(); }

  const SummedRadixTree& tree() const noexcept { return tree_; }

 private:
  SummedRadixTree tree_;
};

}  // namespace vesker::analysis
