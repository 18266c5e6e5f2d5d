// Values folded over the strongly connected components of a graph held as compact successor
// lists (vertices numbered 0..n-1), as the component search of `components.h` finds them: a
// visitor hands out the roots, gives each vertex a value when it is discovered and receives every
// finished component together with a value folded over it.
//
// Two values travel up the depth-first tree: a per-vertex value summed over the members of a
// component, and a per-component value merged along every edge into an already finished
// component. Components finish in reverse topological order, so everything a component reaches
// has its value stored before the component itself finishes.
//
// A finished component's value is kept only until every edge into it from another component has
// been merged: those edges are known in advance (the in-degrees of its members less the edges
// between members), and each one causes exactly one merge, whether the search meets it as an edge
// to a finished vertex or as the tree edge its root returns along. So the values alive at a time
// are those still awaited, not those of every component. Bookkeeping is 12 bytes a vertex: the
// search's discovery index and lowlink (then the slot of its component's value) and the edges
// into it still to be met; a frame of the search carries the vertex-value sum and the slot of
// the merge of the components reached so far.
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

#include "core/analysis/components.h"
#include "core/common/error.h"

namespace vesker::analysis {

// Successors of v are targets[offsets[v] .. offsets[v + 1]), in the order the search takes them.
struct SuccessorLists {
  std::span<const std::uint64_t> offsets;  // vertex count + 1 entries
  std::span<const Vertex> targets;

  Vertex vertex_count() const noexcept { return offsets.empty() ? 0 : static_cast<Vertex>(offsets.size() - 1); }
  std::span<const Vertex> operator()(Vertex v) const noexcept {
    return {targets.data() + offsets[v], targets.data() + offsets[v + 1]};
  }
};

// The visitor fixes the per-vertex value and the per-component value.
//
// `next_root()` yields the vertices to start depth-first searches from, in order; vertices
// already discovered are skipped, and the end is nullopt. `discover(v)` is called once per vertex,
// in discovery order, and returns its value. `merge_scc_values(into, from)` makes an absent `into`
// a copy of `from` and merges `from` into a present one. `add_node_value_to_scc_value(sum, scc_id,
// pending)` returns the value of a finished component from its vertex-value sum, its sequence
// number and the merge of what it reaches. `emit_component(members, sum, value)` receives each
// finished component, its members in discovery order (the root first).
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

namespace component_values_detail {

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

// What a frame of the search carries: the vertex-value sum of its subtree within the component,
// and the slot of the merge of the finished components reached so far.
template <class NodeValue>
struct FrameValues {
  NodeValue node_value;
  std::uint32_t pending = kNoSlot;
};

// The search's hooks for a visitor. `lowlink_or_slot` is the lowlink lent to the search; once a
// vertex's component is finished it holds the slot of the component's value (or kNoSlot).
template <GraphSCCVisitor V>
class ValueFold {
 public:
  using NodeValue = typename V::NodeValue;
  using SccValue = typename V::SccValue;
  using Carried = FrameValues<NodeValue>;

  ValueFold(V& visitor, std::span<Vertex> lowlink_or_slot, std::vector<std::uint32_t> edges_to_meet)
      : visitor_(visitor), lowlink_or_slot_(lowlink_or_slot), edges_to_meet_(std::move(edges_to_meet)) {}

  Result<Carried> enter(Vertex v) {
    VESKER_ASSIGN_OR_RETURN(NodeValue value, visitor_.discover(v));
    return Carried{std::move(value)};
  }

  // The edge stays inside the component being built.
  void to_open(Carried&, Vertex w) { --edges_to_meet_[w]; }

  void to_finished(Carried& from, Vertex w) {
    const std::uint32_t slot = lowlink_or_slot_[w];
    // Allocated before the references into the slots are taken.
    if (from.pending == kNoSlot) from.pending = slots_.allocate();
    if (slot == kNoSlot || !slots_[slot]) internal_error(kMissingMapEntry);
    visitor_.merge_scc_values(slots_[from.pending], *slots_[slot]);
    met(slot);
  }

  // Not a root: its sums go up to the parent, which is in the same component.
  void returned(Carried& parent, Carried&& child, Vertex v) {
    --edges_to_meet_[v];
    visitor_.merge_node_values(parent.node_value, child.node_value);
    if (child.pending == kNoSlot) return;
    if (parent.pending == kNoSlot) {
      parent.pending = child.pending;
    } else {
      visitor_.merge_scc_values(slots_[parent.pending], *slots_[child.pending]);
      slots_.release(child.pending);
    }
  }

  Status finished(std::span<const Vertex> members, Carried&& root, Carried* parent) {
    std::uint64_t awaited = 0;
    for (const Vertex member : members) awaited += edges_to_meet_[member];
    std::optional<SccValue> pending;
    if (root.pending != kNoSlot) {
      pending = std::move(slots_[root.pending]);
      slots_.release(root.pending);
    }
    SccValue value = visitor_.add_node_value_to_scc_value(root.node_value, next_scc_id_++, std::move(pending));
    VESKER_TRY(visitor_.emit_component(members, root.node_value, value));
    if (parent != nullptr) {
      // The tree edge from the parent is one of the awaited merges.
      if (awaited == 0) internal_error(kMissingMapEntry);
      --awaited;
      if (parent->pending == kNoSlot) parent->pending = slots_.allocate();
      visitor_.merge_scc_values(slots_[parent->pending], value);
    }
    std::uint32_t slot = kNoSlot;
    if (awaited > 0) {
      if (awaited > std::numeric_limits<std::uint32_t>::max()) internal_error("too many edges into a component");
      slot = slots_.allocate();
      slots_[slot] = std::move(value);
      slots_.awaited(slot) = static_cast<std::uint32_t>(awaited);
    }
    for (const Vertex member : members) lowlink_or_slot_[member] = slot;
    return {};
  }

 private:
  // One awaited merge of the finished component in `slot` has happened.
  void met(std::uint32_t slot) {
    if (--slots_.awaited(slot) == 0) slots_.release(slot);
  }

  V& visitor_;
  std::span<Vertex> lowlink_or_slot_;
  std::vector<std::uint32_t> edges_to_meet_;
  ValueSlots<SccValue> slots_;
  std::size_t next_scc_id_ = 0;
};

struct EveryEdge {
  bool operator()(Vertex, Vertex) const noexcept { return true; }
};

}  // namespace component_values_detail

// Runs the search from every root that `next_root` yields. Every vertex reached is discovered once
// and emitted exactly once, as a member of exactly one component; components are numbered 0, 1,
// 2, ... in finishing order. Returns the first error of a visitor operation unchanged; broken
// invariants throw InternalError.
template <GraphSCCVisitor V>
Status visit_sccs(const SuccessorLists& graph, V& visitor) {
  using namespace component_values_detail;
  using Fold = ValueFold<V>;
  using Search = ComponentSearch<SuccessorLists, EveryEdge, typename Fold::Carried>;
  const Vertex vertex_count = graph.vertex_count();
  if (vertex_count >= Search::kFinished) return fail_message("too many vertices for the component search");
  if (!graph.offsets.empty() && graph.offsets.back() != graph.targets.size()) {
    internal_error("successor offsets do not end at the last target");
  }
  std::vector<std::uint32_t> edges_to_meet(vertex_count, 0);
  for (const Vertex target : graph.targets) {
    if (target >= vertex_count) internal_error("successor beyond the last vertex");
    ++edges_to_meet[target];
  }
  std::vector<Vertex> index(vertex_count);
  std::vector<Vertex> lowlink_or_slot(vertex_count);
  Fold fold(visitor, lowlink_or_slot, std::move(edges_to_meet));
  Search search(index, lowlink_or_slot, graph, EveryEdge{});
  for (;;) {
    VESKER_ASSIGN_OR_RETURN(std::optional<Vertex> root, visitor.next_root());
    if (!root) return {};
    if (*root >= vertex_count) internal_error("root beyond the last vertex");
    VESKER_TRY(search.fold_from(*root, fold));
  }
}

}  // namespace vesker::analysis
