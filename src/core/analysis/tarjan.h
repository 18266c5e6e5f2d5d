// Tarjan's strongly connected components over a graph held as compact
// successor lists (vertices numbered 0..n-1), with a visitor that hands out the
// roots, gives each vertex a value when it is discovered and receives every
// finished component together with a value folded over it.
//
// The recursion of the textbook algorithm is replaced by an explicit stack of
// frames, so reference chains millions of vertices deep need no native stack.
// Two values travel up the depth-first tree: a per-vertex value summed over the
// members of a component, and a per-component value merged along every edge
// into an already finished component. Components finish in reverse topological
// order, so everything a component reaches has its value stored before the
// component itself finishes.
//
// A finished component's value is kept only until every edge into it from
// another component has been merged: those edges are known in advance (the
// in-degrees of its members less the edges between members), and each one
// causes exactly one merge, whether the traversal meets it as an edge to a
// finished vertex or as the tree edge its root returns along. So the values
// alive at a time are those still awaited, not those of every component.
// Bookkeeping is 12 bytes a vertex: discovery index, lowlink (then the slot of
// its component's value) and the edges into it still to be met.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/common/error.h"

namespace vesker::analysis {

using Vertex = std::uint32_t;

// Successors of v are targets[offsets[v] .. offsets[v + 1]), in the order the
// traversal takes them.
struct SuccessorLists {
  std::span<const std::uint64_t> offsets;  // vertex count + 1 entries
  std::span<const Vertex> targets;

  Vertex vertex_count() const noexcept { return offsets.empty() ? 0 : static_cast<Vertex>(offsets.size() - 1); }
};

// The visitor fixes the per-vertex value and the per-component value.
//
// `next_root()` yields the vertices to start depth-first searches from, in
// order; vertices already discovered are skipped, and the end is nullopt.
// `discover(v)` is called once per vertex, in discovery order, and returns its
// value. `merge_scc_values(into, from)` makes an absent `into` a copy of `from`
// and merges `from` into a present one. `add_node_value_to_scc_value(sum,
// scc_id, pending)` returns the value of a finished component from its
// vertex-value sum, its sequence number and the merge of what it reaches.
// `emit_component(members, sum, value)` receives each finished component, its
// members in discovery order (the root first).
template <class V>
concept GraphSCCVisitor =
    std::copyable<typename V::NodeValue> && std::copyable<typename V::SccValue> &&
    requires(V& visitor, Vertex vertex, typename V::NodeValue& node_value_into,
             const typename V::NodeValue& node_value, std::optional<typename V::SccValue>& pending_into,
             std::optional<typename V::SccValue>&& pending, const typename V::SccValue& scc_value,
             std::size_t scc_id, std::span<const Vertex> members) {
      { visitor.next_root() } -> std::same_as<Result<std::optional<Vertex>>>;
      { visitor.discover(vertex) } -> std::same_as<Result<typename V::NodeValue>>;
      visitor.merge_node_values(node_value_into, node_value);
      visitor.merge_scc_values(pending_into, scc_value);
      {
        visitor.add_node_value_to_scc_value(node_value, scc_id, std::move(pending))
      } -> std::same_as<typename V::SccValue>;
      { visitor.emit_component(members, node_value, scc_value) } -> std::same_as<Status>;
    };

namespace tarjan_detail {

inline constexpr Vertex kUnvisited = std::numeric_limits<Vertex>::max();
inline constexpr Vertex kFinished = kUnvisited - 1;  // in `index`, once the component is done
inline constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// Component values and pending merges, in slots reused once released.
template <class T>
class ValueSlots {
 public:
  std::uint32_t allocate() {
    if (!free_.empty()) {
      const std::uint32_t slot = free_.back();
      free_.pop_back();
      return slot;
    }
    if (values_.size() >= kNoSlot) internal_error("more live component values than slots");
    values_.emplace_back();
    awaited_.push_back(0);
    return static_cast<std::uint32_t>(values_.size() - 1);
  }
  void release(std::uint32_t slot) {
    values_[slot].reset();
    free_.push_back(slot);
  }
  std::optional<T>& operator[](std::uint32_t slot) { return values_[slot]; }
  // Merges still to come before a finished component's value can go.
  std::uint32_t& awaited(std::uint32_t slot) { return awaited_[slot]; }

 private:
  std::vector<std::optional<T>> values_;
  std::vector<std::uint32_t> awaited_;
  std::vector<std::uint32_t> free_;
};

template <class NodeValue>
struct Frame {
  Vertex vertex;
  std::uint32_t pending;      // slot of the merge of the finished components reached so far
  std::uint64_t next_edge;    // into SuccessorLists::targets
  NodeValue node_value;       // own value plus what unfinished children passed up
};

}  // namespace tarjan_detail

// Runs the traversal from every root that `next_root` yields. Every vertex
// reached is discovered once and emitted exactly once, as a member of exactly
// one component; components are numbered 0, 1, 2, ... in finishing order.
// Returns the first error of a visitor operation unchanged; broken invariants
// throw InternalError.
template <GraphSCCVisitor V>
Status visit_sccs(const SuccessorLists& graph, V& visitor) {
  using namespace tarjan_detail;
  using NodeValue = typename V::NodeValue;
  using SccValue = typename V::SccValue;
  const Vertex vertex_count = graph.vertex_count();
  if (vertex_count >= kFinished) return fail_message("too many vertices for the component search");
  if (!graph.offsets.empty() && graph.offsets.back() != graph.targets.size()) {
    internal_error("successor offsets do not end at the last target");
  }
  std::vector<Vertex> index(vertex_count, kUnvisited);
  std::vector<Vertex> lowlink_or_slot(vertex_count);
  std::vector<std::uint32_t> edges_to_meet(vertex_count, 0);
  for (const Vertex target : graph.targets) {
    if (target >= vertex_count) internal_error("successor beyond the last vertex");
    ++edges_to_meet[target];
  }
  ValueSlots<SccValue> slots;
  std::vector<Frame<NodeValue>> frames;
  std::vector<Vertex> scc_stack;
  Vertex next_index = 0;
  std::size_t next_scc_id = 0;

  const auto discover = [&](Vertex vertex) -> Status {
    VESKER_ASSIGN_OR_RETURN(NodeValue value, visitor.discover(vertex));
    index[vertex] = lowlink_or_slot[vertex] = next_index++;
    scc_stack.push_back(vertex);
    frames.push_back(Frame<NodeValue>{vertex, kNoSlot, graph.offsets[vertex], std::move(value)});
    return {};
  };
  // One awaited merge of the finished component in `slot` has happened.
  const auto met = [&](std::uint32_t slot) {
    if (--slots.awaited(slot) == 0) slots.release(slot);
  };

  for (;;) {
    VESKER_ASSIGN_OR_RETURN(std::optional<Vertex> root, visitor.next_root());
    if (!root) return {};
    if (*root >= vertex_count) internal_error("root beyond the last vertex");
    if (index[*root] != kUnvisited) continue;
    VESKER_TRY(discover(*root));
    while (!frames.empty()) {
      Frame<NodeValue>& frame = frames.back();
      if (frame.next_edge != graph.offsets[frame.vertex + 1]) {
        const Vertex successor = graph.targets[frame.next_edge++];
        const Vertex successor_index = index[successor];
        if (successor_index == kUnvisited) {
          VESKER_TRY(discover(successor));  // `frame` may move as the stack grows
        } else if (successor_index != kFinished) {
          // On the stack: the edge stays inside the component being built.
          --edges_to_meet[successor];
          lowlink_or_slot[frame.vertex] = std::min(lowlink_or_slot[frame.vertex], successor_index);
        } else {
          const std::uint32_t slot = lowlink_or_slot[successor];
          // Allocated before the references into the slots are taken.
          if (frame.pending == kNoSlot) frame.pending = slots.allocate();
          if (slot == kNoSlot || !slots[slot]) internal_error(kMissingMapEntry);
          visitor.merge_scc_values(slots[frame.pending], *slots[slot]);
          met(slot);
        }
        continue;
      }

      Frame<NodeValue> finished = std::move(frame);
      frames.pop_back();
      const Vertex vertex = finished.vertex;
      Frame<NodeValue>* parent = frames.empty() ? nullptr : &frames.back();
      if (lowlink_or_slot[vertex] != index[vertex]) {
        // Not a root: its sums go up to the parent, which is in the same component.
        if (parent == nullptr) internal_error(kMissingOptional);
        --edges_to_meet[vertex];
        visitor.merge_node_values(parent->node_value, finished.node_value);
        if (finished.pending != kNoSlot) {
          if (parent->pending == kNoSlot) {
            parent->pending = finished.pending;
          } else {
            visitor.merge_scc_values(slots[parent->pending], *slots[finished.pending]);
            slots.release(finished.pending);
          }
        }
        lowlink_or_slot[parent->vertex] = std::min(lowlink_or_slot[parent->vertex], lowlink_or_slot[vertex]);
        continue;
      }

      // The members are the top of scc_stack down to this vertex.
      std::size_t root_position = scc_stack.size();
      do {
        if (root_position == 0) internal_error(kMissingOptional);
      } while (scc_stack[--root_position] != vertex);
      const std::span<const Vertex> members(scc_stack.data() + root_position, scc_stack.size() - root_position);
      std::uint64_t awaited = 0;
      for (const Vertex member : members) {
        index[member] = kFinished;
        awaited += edges_to_meet[member];
      }
      std::optional<SccValue> pending;
      if (finished.pending != kNoSlot) {
        pending = std::move(slots[finished.pending]);
        slots.release(finished.pending);
      }
      SccValue value = visitor.add_node_value_to_scc_value(finished.node_value, next_scc_id++, std::move(pending));
      VESKER_TRY(visitor.emit_component(members, finished.node_value, value));
      if (parent != nullptr) {
        // The tree edge from the parent is one of the awaited merges.
        if (awaited == 0) internal_error(kMissingMapEntry);
        --awaited;
        if (parent->pending == kNoSlot) parent->pending = slots.allocate();
        visitor.merge_scc_values(slots[parent->pending], value);
      }
      std::uint32_t slot = kNoSlot;
      if (awaited > 0) {
        if (awaited > std::numeric_limits<std::uint32_t>::max()) internal_error("too many edges into a component");
        slot = slots.allocate();
        slots[slot] = std::move(value);
        slots.awaited(slot) = static_cast<std::uint32_t>(awaited);
      }
      for (const Vertex member : members) lowlink_or_slot[member] = slot;
      scc_stack.resize(root_position);
    }
  }
}

}  // namespace vesker::analysis
