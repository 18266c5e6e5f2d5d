// Tarjan's strongly connected components over a graph that is never held as a
// whole: a visitor hands out nodes and their successors one node at a time,
// and receives every finished component together with a value folded over it.
//
// The recursion of the textbook algorithm is replaced by an explicit stack of
// frames, so reference chains millions of nodes deep need no native stack.
// Two values travel up the depth-first tree: a per-node value summed over the
// members of a component, and a per-component value merged along every edge
// into an already finished component. Components finish in reverse topological
// order, so everything a component reaches has its value stored before the
// component itself finishes.
#pragma once

#include <xxhash.h>

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/common/error.h"

namespace vesker::analysis {

// Integer keys hashed as XXH3-64 of their 8 little-endian bytes.
struct Xxh3IntegerHash {
  std::size_t operator()(std::uint64_t key) const noexcept {
    static_assert(std::endian::native == std::endian::little);
    return XXH3_64bits(&key, sizeof key);
  }
};

struct BookkeepingEntry {
  std::size_t index;    // discovery order
  std::size_t lowlink;  // smallest index known to be reachable in the current search
  bool on_stack;        // still on scc_stack: its component is not finished
  std::optional<std::size_t> scc_id;
};

using BookkeepingMap = absl::flat_hash_map<std::uint64_t, BookkeepingEntry, Xxh3IntegerHash>;

// The traversal's answer to "has this id been discovered?". Handed to the
// visitor so that it skips discovered nodes before reading them.
class IsVisited {
 public:
  explicit IsVisited(const BookkeepingMap& bookkeeping) noexcept : bookkeeping_(&bookkeeping) {}
  bool operator()(std::uint64_t node_id) const { return bookkeeping_->contains(node_id); }

 private:
  const BookkeepingMap* bookkeeping_;
};

// The visitor fixes the node record it hands out, the per-node value and the
// per-component value.
//
// `get_successors(node, is_visited)` returns every successor of `node` in
// order. For a successor for which `is_visited` holds, the traversal only reads
// its `node_id`, so the visitor may return a cheap record carrying just the id.
//
// `merge_scc_values(into, from)` makes an absent `into` a copy of `from` and
// merges `from` into a present one. `add_node_value_to_scc_value(sum, scc_id,
// pending)` returns the value of a finished component from its node-value sum,
// its sequence number and the merge of what it reaches.
template <class V>
concept GraphSCCVisitor =
    std::move_constructible<typename V::Node> && std::copyable<typename V::NodeValue> &&
    std::copyable<typename V::SccValue> &&
    requires(V& visitor, const typename V::Node& node, typename V::NodeValue& node_value_into,
             const typename V::NodeValue& node_value, std::optional<typename V::SccValue>& pending_into,
             std::optional<typename V::SccValue>&& pending, const typename V::SccValue& scc_value,
             std::size_t scc_id, std::uint64_t node_id, IsVisited is_visited) {
      { visitor.next_unvisited_node(is_visited) } -> std::same_as<Result<std::optional<typename V::Node>>>;
      { visitor.node_id(node) } -> std::same_as<std::uint64_t>;
      { visitor.node_value(node) } -> std::same_as<typename V::NodeValue>;
      { visitor.get_successors(node, is_visited) } -> std::same_as<Result<std::vector<typename V::Node>>>;
      visitor.merge_node_values(node_value_into, node_value);
      visitor.merge_scc_values(pending_into, scc_value);
      {
        visitor.add_node_value_to_scc_value(node_value, scc_id, std::move(pending))
      } -> std::same_as<typename V::SccValue>;
      { visitor.emit_result(node_id, node_value, scc_value) } -> std::same_as<Status>;
    };

enum class FrameState : std::uint8_t {
  kIterating,        // takes the next successor; the state of a new frame
  kWaitingForChild,  // a frame for a successor lies above this one
  kChildProcessed,   // the child above has finished and left its result
  kFinishing,        // every successor has been taken
};

inline constexpr const char* kReturnedToWaitingFrame =
    "We should not be returning to a frame waiting for a child without having processed the child";

template <GraphSCCVisitor V>
struct CallStackFrame {
  std::uint64_t node_id;
  typename V::NodeValue node_value;  // own value plus what unfinished children passed up
  std::optional<typename V::SccValue> pending;  // merge of the finished components reached so far
  // Consumed front to back; each record is released once dealt with, and the
  // list itself once the last one has been taken.
  std::vector<typename V::Node> successors;
  std::size_t next_successor = 0;
  std::optional<std::uint64_t> current_child;
  FrameState state = FrameState::kIterating;
};

// What a finished frame passes to its parent. Only the top frame can be in
// state ChildProcessed, so the one result waiting to be taken lives in the
// traversal state rather than in every frame.
template <GraphSCCVisitor V>
struct ChildResult {
  std::optional<typename V::NodeValue> node_value;
  std::optional<typename V::SccValue> scc_value;
  // The child's final lowlink as its bookkeeping entry holds it, carried along
  // to save the parent a second lookup of that entry.
  std::size_t lowlink = 0;
};

template <GraphSCCVisitor V>
struct TarjanState {
  std::vector<CallStackFrame<V>> call_stack;
  std::vector<std::uint64_t> scc_stack;
  BookkeepingMap bookkeeping;
  absl::flat_hash_map<std::size_t, typename V::SccValue, Xxh3IntegerHash> scc_values;
  std::size_t next_index = 0;
  std::size_t next_scc_id = 0;
  ChildResult<V> child_result;
};

namespace tarjan_detail {

// For ids the traversal inserted itself: a miss is a broken invariant.
inline BookkeepingEntry& entry_of(BookkeepingMap& bookkeeping, std::uint64_t node_id) {
  auto found = bookkeeping.find(node_id);
  if (found == bookkeeping.end()) internal_error(kMissingMapEntry);
  return found->second;
}

template <class T>
const T& unwrap(const std::optional<T>& value) {
  if (!value) internal_error(kMissingOptional);
  return *value;
}

}  // namespace tarjan_detail

// Discovers `node`: gives it the next index, asks for its successors and puts
// a new frame on the call stack. On error the bookkeeping entry stays.
template <GraphSCCVisitor V>
Status push_new_frame(TarjanState<V>& state, V& visitor, typename V::Node node) {
  const std::uint64_t node_id = visitor.node_id(node);
  const std::size_t index = state.next_index++;
  state.bookkeeping.insert_or_assign(node_id, BookkeepingEntry{index, index, true, std::nullopt});
  VESKER_ASSIGN_OR_RETURN(std::vector<typename V::Node> successors,
                          visitor.get_successors(node, IsVisited(state.bookkeeping)));
  state.scc_stack.push_back(node_id);
  state.call_stack.push_back(CallStackFrame<V>{
      .node_id = node_id,
      .node_value = visitor.node_value(node),
      .pending = std::nullopt,
      .successors = std::move(successors),
      .next_successor = 0,
      .current_child = std::nullopt,
      .state = FrameState::kIterating,
  });
  return {};
}

namespace tarjan_detail {

template <GraphSCCVisitor V>
Status step_iterating(TarjanState<V>& state, V& visitor) {
  CallStackFrame<V>& frame = state.call_stack.back();
  if (frame.next_successor == frame.successors.size()) {
    frame.state = FrameState::kFinishing;
    return {};
  }
  typename V::Node successor = std::move(frame.successors[frame.next_successor++]);
  if (frame.next_successor == frame.successors.size()) {
    frame.successors = std::vector<typename V::Node>();
    frame.next_successor = 0;
  }
  const std::uint64_t successor_id = visitor.node_id(successor);
  frame.current_child = successor_id;
  const auto found = state.bookkeeping.find(successor_id);
  if (found == state.bookkeeping.end()) {
    frame.state = FrameState::kWaitingForChild;
    // `frame` may move when the call stack grows.
    return push_new_frame(state, visitor, std::move(successor));
  }
  const BookkeepingEntry& successor_entry = found->second;
  if (successor_entry.on_stack) {
    const std::size_t successor_index = successor_entry.index;
    BookkeepingEntry& entry = entry_of(state.bookkeeping, frame.node_id);
    entry.lowlink = std::min(entry.lowlink, successor_index);
    return {};
  }
  const std::size_t successor_scc = unwrap(successor_entry.scc_id);
  const auto scc_value = state.scc_values.find(successor_scc);
  if (scc_value == state.scc_values.end()) internal_error(kMissingMapEntry);
  visitor.merge_scc_values(frame.pending, scc_value->second);
  return {};
}

template <GraphSCCVisitor V>
void step_child_processed(TarjanState<V>& state, V& visitor) {
  CallStackFrame<V>& frame = state.call_stack.back();
  ChildResult<V> child = std::exchange(state.child_result, {});
  if (child.node_value) visitor.merge_node_values(frame.node_value, *child.node_value);
  if (child.scc_value) visitor.merge_scc_values(frame.pending, *child.scc_value);
  unwrap(frame.current_child);  // a child result always belongs to the successor taken last
  BookkeepingEntry& entry = entry_of(state.bookkeeping, frame.node_id);
  entry.lowlink = std::min(entry.lowlink, child.lowlink);
  frame.state = FrameState::kIterating;
}

template <GraphSCCVisitor V>
Status step_finishing(TarjanState<V>& state, V& visitor) {
  CallStackFrame<V> frame = std::move(state.call_stack.back());
  state.call_stack.pop_back();
  BookkeepingEntry& entry = entry_of(state.bookkeeping, frame.node_id);
  ChildResult<V> result;
  result.lowlink = entry.lowlink;
  if (entry.index == entry.lowlink) {
    const std::size_t scc_id = state.next_scc_id++;
    // The members are the top of scc_stack down to this node; they are
    // emitted in pop order, the most recently discovered first.
    std::size_t root_position = state.scc_stack.size();
    for (;;) {
      if (root_position == 0) internal_error(kMissingOptional);
      const std::uint64_t member = state.scc_stack[--root_position];
      // No insertion happens here, so `entry` stays valid.
      BookkeepingEntry& member_entry = member == frame.node_id ? entry : entry_of(state.bookkeeping, member);
      member_entry.on_stack = false;
      member_entry.scc_id = scc_id;
      if (member == frame.node_id) break;
    }
    typename V::SccValue value =
        visitor.add_node_value_to_scc_value(frame.node_value, scc_id, std::move(frame.pending));
    state.scc_values.insert_or_assign(scc_id, value);
    for (std::size_t position = state.scc_stack.size(); position > root_position;) {
      VESKER_TRY(visitor.emit_result(state.scc_stack[--position], frame.node_value, value));
    }
    state.scc_stack.resize(root_position);
    result.scc_value = std::move(value);
  } else {
    result.node_value = std::move(frame.node_value);
    result.scc_value = std::move(frame.pending);
  }
  if (!state.call_stack.empty()) {
    state.call_stack.back().state = FrameState::kChildProcessed;
    state.child_result = std::move(result);
  }
  return {};
}

}  // namespace tarjan_detail

// Runs the traversal over every node that `next_unvisited_node` yields. Every
// node is discovered once and emitted exactly once, as a member of exactly one
// component; components are numbered 0, 1, 2, ... in finishing order. Returns
// the first error of a visitor operation unchanged; broken invariants throw
// InternalError.
template <GraphSCCVisitor V>
Status visit_sccs(V& visitor) {
  TarjanState<V> state;
  // A visitor that knows how many nodes to expect spares the maps their growth.
  if constexpr (requires { { visitor.node_count_hint() } -> std::convertible_to<std::size_t>; }) {
    const std::size_t expected_nodes = visitor.node_count_hint();
    state.bookkeeping.reserve(expected_nodes);
    state.scc_values.reserve(expected_nodes);
  }
  for (;;) {
    if (state.call_stack.empty()) {
      VESKER_ASSIGN_OR_RETURN(std::optional<typename V::Node> next,
                              visitor.next_unvisited_node(IsVisited(state.bookkeeping)));
      if (!next) return {};
      // A node that was discovered meanwhile is released and skipped.
      if (state.bookkeeping.contains(visitor.node_id(*next))) continue;
      VESKER_TRY(push_new_frame(state, visitor, std::move(*next)));
      continue;
    }
    switch (state.call_stack.back().state) {
      case FrameState::kIterating:
        VESKER_TRY(tarjan_detail::step_iterating(state, visitor));
        break;
      case FrameState::kWaitingForChild:
        internal_error(kReturnedToWaitingFrame);
      case FrameState::kChildProcessed:
        tarjan_detail::step_child_processed(state, visitor);
        break;
      case FrameState::kFinishing:
        VESKER_TRY(tarjan_detail::step_finishing(state, visitor));
        break;
    }
  }
}

}  // namespace vesker::analysis
