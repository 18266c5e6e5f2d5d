#include "core/analysis/summed_radix_tree.h"

#include <algorithm>
#include <new>
#include <utility>

#include "core/common/byte_order.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VESKER_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VESKER_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VESKER_POISON(address, size) ((void)(address), (void)(size))
#define VESKER_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace vesker::analysis {

namespace radix_tree_detail {

using Slots = std::array<std::uint64_t, SummedRadixTree::kLeafSlots>;
// A Branch owns one reference to each child.
using Children = std::array<Node*, SummedRadixTree::kLeafSlots>;

struct Access {
  static Node* get(const SummedRadixTree& tree) noexcept { return tree.node_; }
  static SummedRadixTree adopt(Node* node) noexcept { return SummedRadixTree(node); }
};

TreeHash hash_of_children(const Children& children) noexcept {
  char bytes[16 * SummedRadixTree::kLeafSlots];
  for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) {
    store_u64_le(bytes + 16 * j, children[j]->hash.low);
    store_u64_le(bytes + 16 * j + 8, children[j]->hash.high);
  }
  const XXH128_hash_t digest = XXH3_128bits(bytes, sizeof bytes);
  return {digest.low64, digest.high64};
}

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

  // Takes over one reference to each child.
  Branch(std::uint8_t branch_level, const Children& branch_children) noexcept
      : Node(TreeNodeKind::kBranch, branch_level), children(branch_children) {
    for (const Node* child : children) sum += child->sum;
    hash = hash_of_children(children);
  }
};

// Leaves and Branches are one size, so every node of a thread comes from one
// free list, carved from slabs that the thread owns. The slabs go back to the
// allocator whenever the thread's last node goes, which the SCC traversal
// reaches once its trees are dropped; a thread that ends holding trees keeps
// their slabs, as it would keep the nodes themselves.
class NodePool {
 public:
  static constexpr std::size_t kSlotSize = std::max(sizeof(Leaf), sizeof(Branch));

  void* allocate() {
    if (free_ == nullptr && carved_ == carve_end_) add_slab();
    ++live_;
    if (free_ != nullptr) {
      Slot* slot = free_;
      VESKER_UNPOISON(slot, kSlotSize);
      free_ = slot->next_free;
      return slot;
    }
    void* slot = carved_;
    VESKER_UNPOISON(slot, kSlotSize);
    carved_ += kSlotSize;
    return slot;
  }

  void deallocate(void* pointer) noexcept {
    auto* slot = static_cast<Slot*>(pointer);
    slot->next_free = free_;
    free_ = slot;
    VESKER_POISON(slot, kSlotSize);
    if (--live_ == 0) release_slabs();
  }

  std::size_t live() const noexcept { return live_; }

 private:
  union Slot {
    Slot* next_free;
    alignas(Node) unsigned char bytes[kSlotSize];
  };
  struct SlabHead {
    SlabHead* previous;
    std::size_t bytes;
  };
  static constexpr std::size_t kFirstSlabSlots = 64;
  static constexpr std::size_t kLargestSlabSlots = std::size_t{1} << 15;

  void add_slab() {
    const std::size_t slots = next_slab_slots_;
    const std::size_t bytes = sizeof(SlabHead) + slots * kSlotSize;
    auto* head = static_cast<SlabHead*>(::operator new(bytes));
    *head = {slabs_, bytes};
    slabs_ = head;
    carved_ = reinterpret_cast<unsigned char*>(head + 1);
    carve_end_ = carved_ + slots * kSlotSize;
    VESKER_POISON(carved_, slots * kSlotSize);
    next_slab_slots_ = std::min(2 * slots, kLargestSlabSlots);
  }

  void release_slabs() noexcept {
    while (slabs_ != nullptr) {
      SlabHead* head = slabs_;
      slabs_ = head->previous;
      VESKER_UNPOISON(head, head->bytes);
      ::operator delete(head, head->bytes);
    }
    free_ = nullptr;
    carved_ = carve_end_ = nullptr;
    next_slab_slots_ = kFirstSlabSlots;
  }

  Slot* free_ = nullptr;
  unsigned char* carved_ = nullptr;
  unsigned char* carve_end_ = nullptr;
  SlabHead* slabs_ = nullptr;
  std::size_t live_ = 0;
  std::size_t next_slab_slots_ = kFirstSlabSlots;
};

// Constant-initialised and trivially destructible: no guard on access and no
// ordering against the thread's shared empty tree, which is not pooled.
thread_local constinit NodePool pool;

Node* make_leaf(const Slots& slots) { return new (pool.allocate()) Leaf(slots); }
Node* make_branch(std::uint8_t level, const Children& children) {
  void* memory = nullptr;
  try {
    memory = pool.allocate();
  } catch (...) {
    for (Node* child : children) release(child);
    throw;
  }
  return new (memory) Branch(level, children);
}

const Leaf& as_leaf(const Node* node) noexcept { return *static_cast<const Leaf*>(node); }
const Branch& as_branch(const Node* node) noexcept { return *static_cast<const Branch*>(node); }

void free_unreferenced(Node* node) noexcept {
  // Freeing a Branch can drop its children to zero in turn; they are chained
  // through their own storage instead of recursing, so no depth or width of
  // tree grows the native stack and no memory is needed to free memory.
  //
  // The children of a large tree lie anywhere in memory, and waiting for each
  // child in turn would make freeing as slow as a walk of cache misses. So a
  // Branch taken from the chain first only has its children fetched, and
  // waits in a short queue while the next ones are taken; its children are
  // counted down when it leaves the queue, by which time they have arrived.
  constexpr std::size_t kQueued = 8;
  Node* queue[kQueued];
  std::size_t queue_start = 0;
  std::size_t queued = 0;
  node->next_dead = nullptr;
  Node* dead = node;
  while (dead != nullptr || queued != 0) {
    if (dead != nullptr && queued != kQueued) {
      Node* current = dead;
      dead = current->next_dead;
      switch (current->kind) {
        case TreeNodeKind::kEmpty:
          delete current;
          break;
        case TreeNodeKind::kLeaf:
          pool.deallocate(current);
          break;
        case TreeNodeKind::kBranch:
          for (Node* child : static_cast<Branch*>(current)->children) __builtin_prefetch(child, 1);
          queue[(queue_start + queued++) % kQueued] = current;
          break;
      }
      continue;
    }
    Node* branch = queue[queue_start];
    queue_start = (queue_start + 1) % kQueued;
    --queued;
    for (Node* child : static_cast<Branch*>(branch)->children) {
      if (--child->references == 0) {
        // Its kind and children are read when it leaves the chain.
        __builtin_prefetch(reinterpret_cast<char*>(child) + 64);
        child->next_dead = dead;
        dead = child;
      }
    }
    pool.deallocate(branch);
  }
}

// Borrowed: the thread's shared empty tree keeps it alive.
Node* empty_node() { return Access::get(SummedRadixTree::empty()); }

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
        node = as_branch(node).children[digit];
        break;
      }
    }
  }
}

// The tree holding only (id, weight), with a Branch at every level from the
// id's top digit down.
Node* make_singleton(std::uint64_t id, std::uint64_t weight) {
  Slots slots{};
  slots[id % 8] = weight;
  Node* made = make_leaf(slots);
  if (id < 8) return made;
  Node* empty = empty_node();
  std::uint64_t rest = id >> 3;
  for (std::uint8_t level = 1;; ++level, rest >>= 3) {
    Children children;
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) children[j] = j == static_cast<int>(rest % 8) ? made : new_reference(empty);
    made = make_branch(level, children);
    if (rest < 8) return made;
  }
}

// Holds the children built so far, so that a failing allocation further on
// releases them.
class ChildrenUnderConstruction {
 public:
  ChildrenUnderConstruction() noexcept = default;
  ChildrenUnderConstruction(const ChildrenUnderConstruction&) = delete;
  ChildrenUnderConstruction& operator=(const ChildrenUnderConstruction&) = delete;
  ~ChildrenUnderConstruction() {
    for (int j = 0; j < made_; ++j) release(children_[j]);
  }
  void push(Node* child) noexcept { children_[made_++] = child; }
  Node* make_branch(std::uint8_t level) {
    made_ = 0;  // make_branch owns them from here, also when it fails
    return radix_tree_detail::make_branch(level, children_);
  }

 private:
  Children children_;
  int made_ = 0;
};

// Borrows both operands and returns a new reference. The reference counts
// compared in the equal-hash case are those of the caller's trees: no
// temporary reference is taken on the way down.
Node* union_nodes(Node* a, Node* b) {
  if (a->kind == TreeNodeKind::kEmpty) return new_reference(b);
  if (b->kind == TreeNodeKind::kEmpty) return new_reference(a);
  if (a->hash == b->hash) return new_reference(b->references > a->references ? b : a);
  if (a->kind == TreeNodeKind::kLeaf && b->kind == TreeNodeKind::kLeaf) {
    // Equal slots would have given equal hashes above, so the merge makes a new Leaf.
    const Slots& a_slots = as_leaf(a).slots;
    const Slots& b_slots = as_leaf(b).slots;
    Slots merged;
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) merged[j] = std::max(a_slots[j], b_slots[j]);
    return make_leaf(merged);
  }
  ChildrenUnderConstruction children;
  if (a->kind == TreeNodeKind::kBranch && b->kind == TreeNodeKind::kBranch && a->level == b->level) {
    const Children& a_children = as_branch(a).children;
    const Children& b_children = as_branch(b).children;
    // Every child of both is read; ask for all of them before the first is needed.
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) {
      __builtin_prefetch(a_children[j]);
      __builtin_prefetch(b_children[j]);
    }
    for (int j = 0; j < SummedRadixTree::kLeafSlots; ++j) children.push(union_nodes(a_children[j], b_children[j]));
    return children.make_branch(a->level);
  }
  // One operand is a Branch above the other's level; the lower one covers only
  // the lowest offsets of the higher one's range, that is its child 0.
  const bool a_is_higher = b->kind == TreeNodeKind::kLeaf || (a->kind == TreeNodeKind::kBranch && a->level > b->level);
  Node* higher = a_is_higher ? a : b;
  Node* lower = a_is_higher ? b : a;
  const Children& higher_children = as_branch(higher).children;
  for (int j = 1; j < SummedRadixTree::kLeafSlots; ++j) __builtin_prefetch(higher_children[j], 1);
  children.push(union_nodes(higher_children[0], lower));
  for (int j = 1; j < SummedRadixTree::kLeafSlots; ++j) children.push(new_reference(higher_children[j]));
  return children.make_branch(higher->level);
}

}  // namespace radix_tree_detail

using radix_tree_detail::Access;
using radix_tree_detail::Node;

SummedRadixTree SummedRadixTree::empty() {
  // Created on a thread's first use and released when the thread ends; every
  // empty tree and every Empty child of that thread refers to it.
  thread_local const SummedRadixTree shared(new Node(TreeNodeKind::kEmpty));
  return shared;
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

SummedRadixTree SummedRadixTree::child(int digit) const noexcept {
  return Access::adopt(radix_tree_detail::new_reference(radix_tree_detail::as_branch(node_).children[digit]));
}
std::uint64_t SummedRadixTree::slot(int digit) const noexcept {
  return radix_tree_detail::as_leaf(node_).slots[digit];
}
std::size_t SummedRadixTree::thread_node_count() noexcept { return radix_tree_detail::pool.live(); }

}  // namespace vesker::analysis
