#include "core/analysis/summed_radix_tree.h"

#include <algorithm>
#include <utility>

#include "core/common/byte_order.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vesker::analysis {

namespace radix_tree_detail {

using Children = std::array<SummedRadixTree, SummedRadixTree::kLeafSlots>;
using Slots = std::array<std::uint64_t, SummedRadixTree::kLeafSlots>;

// The common head of every node. Each node kind is one allocation of its own
// fixed size; `kind` says which one to free.
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

  static Node* new_reference(Node* node) noexcept {
    ++node->references;
    return node;
  }
  static void release(Node* node) noexcept;

  static Node* take(SummedRadixTree& tree) noexcept { return std::exchange(tree.node_, nullptr); }
  static Node* get(const SummedRadixTree& tree) noexcept { return tree.node_; }
  static SummedRadixTree adopt(Node* node) noexcept { return SummedRadixTree(node); }
};

struct Leaf : Node {
  Slots slots;

  explicit Leaf(const Slots& values) noexcept : Node(TreeNodeKind::kLeaf), slots(values) {
    char bytes[sizeof(Slots)];
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) {
      store_u64_le(bytes + 8 * j, slots[j]);
      sum += slots[j];
    }
    const XXH128_hash_t digest = XXH3_128bits(bytes, sizeof bytes);
    hash = {digest.low64, digest.high64};
  }
};

struct Branch : Node {
  Children children;

  Branch(std::uint8_t branch_level, Children&& branch_children) noexcept
      : Node(TreeNodeKind::kBranch, branch_level), children(std::move(branch_children)) {
    for (const SummedRadixTree& child : children) sum += get(child)->sum;
    hash = calculate_branch_hash(children);
  }
};

const Leaf& as_leaf(const Node* node) noexcept { return *static_cast<const Leaf*>(node); }
const Branch& as_branch(const Node* node) noexcept { return *static_cast<const Branch*>(node); }

void Node::release(Node* node) noexcept {
  if (--node->references != 0) return;
  // Freeing a Branch can drop its children to zero in turn; they are chained
  // through their own storage instead of recursing, so no depth or width of
  // tree grows the native stack and no memory is needed to free memory.
  node->next_dead = nullptr;
  Node* dead = node;
  while (dead != nullptr) {
    Node* current = dead;
    dead = current->next_dead;
    switch (current->kind) {
      case TreeNodeKind::kEmpty:
        delete current;
        break;
      case TreeNodeKind::kLeaf:
        delete static_cast<Leaf*>(current);
        break;
      case TreeNodeKind::kBranch: {
        auto* branch = static_cast<Branch*>(current);
        for (SummedRadixTree& child : branch->children) {
          Node* child_node = Node::take(child);
          if (--child_node->references == 0) {
            child_node->next_dead = dead;
            dead = child_node;
          }
        }
        delete branch;
        break;
      }
    }
  }
}

// Borrowed: the thread's shared empty tree keeps it alive.
Node* empty_node() { return Node::get(SummedRadixTree::empty()); }

// The weight stored for `id`, 0 when it is absent.
std::uint64_t lookup(const Node* node, std::uint64_t id) noexcept {
  std::uint64_t offset = id;
  for (;;) {
    switch (node->kind) {
      case TreeNodeKind::kEmpty:
        return 0;
      case TreeNodeKind::kLeaf:
        return offset < SummedRadixTree::kLeafSlots ? as_leaf(node).slots[offset] : 0;
      case TreeNodeKind::kBranch: {
        const unsigned shift = 3u * node->level;
        const std::uint64_t digit = offset >> shift;
        if (digit >= SummedRadixTree::kLeafSlots) return 0;
        offset &= (std::uint64_t{1} << shift) - 1;
        node = Node::get(as_branch(node).children[digit]);
        break;
      }
    }
  }
}

template <class ChildAt, std::size_t... J>
Children make_children(ChildAt&& child_at, std::index_sequence<J...>) {
  // Braced initialisation evaluates the elements in order, child 0 first.
  return Children{Node::adopt(child_at(static_cast<int>(J)))...};
}
template <class ChildAt>
Children make_children(ChildAt&& child_at) {
  return make_children(child_at, std::make_index_sequence<SummedRadixTree::kLeafSlots>());
}

// The tree holding only (id, weight), with a Branch at every level from the
// id's top digit down.
Node* make_singleton(std::uint64_t id, std::uint64_t weight) {
  Slots slots{};
  slots[id % 8] = weight;
  SummedRadixTree made = Node::adopt(new Leaf(slots));
  if (id < 8) return Node::take(made);
  Node* empty = empty_node();
  std::uint64_t rest = id >> 3;
  for (std::uint8_t level = 1;; ++level, rest >>= 3) {
    const auto digit = static_cast<int>(rest % 8);
    made = Node::adopt(new Branch(level, make_children([&](int j) { return j == digit ? Node::take(made) : Node::new_reference(empty); })));
    if (rest < 8) return Node::take(made);
  }
}

// Borrows both operands and returns a new reference. The reference counts
// compared in the equal-hash case are those of the caller's trees: no
// temporary reference is taken on the way down.
Node* union_nodes(Node* a, Node* b) {
  if (a->kind == TreeNodeKind::kEmpty) return Node::new_reference(b);
  if (b->kind == TreeNodeKind::kEmpty) return Node::new_reference(a);
  if (a->hash == b->hash) return Node::new_reference(b->references > a->references ? b : a);
  if (a->kind == TreeNodeKind::kLeaf && b->kind == TreeNodeKind::kLeaf) {
    const Slots& a_slots = as_leaf(a).slots;
    const Slots& b_slots = as_leaf(b).slots;
    if (a_slots == b_slots) return Node::new_reference(a);
    Slots merged;
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) merged[j] = std::max(a_slots[j], b_slots[j]);
    return new Leaf(merged);
  }
  if (a->kind == TreeNodeKind::kBranch && b->kind == TreeNodeKind::kBranch && a->level == b->level) {
    const Children& a_children = as_branch(a).children;
    const Children& b_children = as_branch(b).children;
    return new Branch(a->level, make_children([&](int j) { return union_nodes(Node::get(a_children[j]), Node::get(b_children[j])); }));
  }
  // One operand is a Branch above the other's level; the lower one covers only
  // the lowest offsets of the higher one's range, that is its child 0.
  const bool a_is_higher = b->kind == TreeNodeKind::kLeaf || (a->kind == TreeNodeKind::kBranch && a->level > b->level);
  Node* higher = a_is_higher ? a : b;
  Node* lower = a_is_higher ? b : a;
  const Children& children = as_branch(higher).children;
  return new Branch(higher->level, make_children([&](int j) {
                      return j == 0 ? union_nodes(Node::get(children[0]), lower) : Node::new_reference(Node::get(children[j]));
                    }));
}

}  // namespace radix_tree_detail

using radix_tree_detail::Node;

SummedRadixTree SummedRadixTree::empty() {
  // Created on a thread's first use and released when the thread ends; every
  // empty tree and every Empty child of that thread refers to it.
  thread_local const SummedRadixTree shared(new Node(TreeNodeKind::kEmpty));
  return shared;
}

SummedRadixTree::SummedRadixTree(const SummedRadixTree& other) noexcept
    : node_(Node::new_reference(other.node_)) {}

SummedRadixTree& SummedRadixTree::operator=(const SummedRadixTree& other) noexcept {
  Node* previous = std::exchange(node_, Node::new_reference(other.node_));
  if (previous != nullptr) Node::release(previous);
  return *this;
}

SummedRadixTree& SummedRadixTree::operator=(SummedRadixTree&& other) noexcept {
  if (this != &other) {
    Node* previous = std::exchange(node_, std::exchange(other.node_, nullptr));
    if (previous != nullptr) Node::release(previous);
  }
  return *this;
}

SummedRadixTree::~SummedRadixTree() {
  if (node_ != nullptr) Node::release(node_);
}

SummedRadixTree SummedRadixTree::add(const SummedRadixTree& tree, std::uint64_t id, std::uint64_t weight) {
  // Covers both "present with this weight" and "absent with weight 0".
  if (radix_tree_detail::lookup(tree.node_, id) == weight) return tree;
  const SummedRadixTree singleton(radix_tree_detail::make_singleton(id, weight));
  return SummedRadixTree(radix_tree_detail::union_nodes(tree.node_, singleton.node_));
}

SummedRadixTree SummedRadixTree::union_of(const SummedRadixTree& a, const SummedRadixTree& b) {
  return SummedRadixTree(radix_tree_detail::union_nodes(a.node_, b.node_));
}

TreeNodeKind SummedRadixTree::kind() const noexcept { return node_->kind; }
std::uint64_t SummedRadixTree::sum() const noexcept { return node_->sum; }
TreeHash SummedRadixTree::hash() const noexcept { return node_->hash; }
int SummedRadixTree::level() const noexcept { return node_->level; }
SummedRadixTree SummedRadixTree::child(int digit) const noexcept {
  return radix_tree_detail::as_branch(node_).children[digit];
}
std::uint64_t SummedRadixTree::slot(int digit) const noexcept {
  return radix_tree_detail::as_leaf(node_).slots[digit];
}
std::size_t SummedRadixTree::reference_count() const noexcept { return node_->references; }

TreeHash calculate_branch_hash(const std::array<SummedRadixTree, SummedRadixTree::kLeafSlots>& children) {
  char bytes[16 * SummedRadixTree::kLeafSlots];
  for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) {
    const TreeHash child_hash = radix_tree_detail::Node::get(children[j])->hash;
    store_u64_le(bytes + 16 * j, child_hash.low);
    store_u64_le(bytes + 16 * j + 8, child_hash.high);
  }
  const XXH128_hash_t digest = XXH3_128bits(bytes, sizeof bytes);
  return {digest.low64, digest.high64};
}

}  // namespace vesker::analysis
