// The heap graph as the SCC traversal sees it for subtree sizes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/analysis/size_estimator.h"
#include "core/analysis/component_values.h"
#include "core/common/progress.h"
#include "core/dominators/heap_graph.h"

namespace vesker {

// Roots are the objects in id order; edges are the graph's successor lists (references, except
// those to ids without a record and those into modules). Each finished component folds its
// members' sizes into the estimator E, and every member gets the estimate as its subtree size.
template <analysis::SizeEstimator E>
class SubtreeSizeVisitor {
 public:
  using NodeValue = std::uint64_t;
  using SccValue = E;

  // `subtree_sizes` is indexed by vertex; `cancellation` is polled once per object discovered.
  SubtreeSizeVisitor(const dominators::HeapGraph& graph, std::vector<std::uint64_t>& subtree_sizes,
                     Progress& cancellation)
      : graph_(graph), subtree_sizes_(subtree_sizes), cancellation_(cancellation) {
    subtree_sizes_.assign(graph.vertex_count(), 0);
  }

  // Vertex 0 is the graph's virtual root, which no reference reaches: it is left out.
  Result<std::optional<analysis::Vertex>> next_root() {
    if (next_root_ == graph_.vertex_count()) return std::nullopt;
    return next_root_++;
  }

  Result<NodeValue> discover(analysis::Vertex vertex) {
    VESKER_TRY(cancellation_.poll());
    return graph_.sizes[vertex];
  }

  void merge_node_values(NodeValue& into, const NodeValue& from) const noexcept { into += from; }

  void merge_scc_values(std::optional<E>& into, const E& from) const {
    if (into) {
      into->include(from);
    } else {
      into = from;
    }
  }

  E add_node_value_to_scc_value(NodeValue sum, std::size_t scc_id, std::optional<E>&& pending) const {
    E value = pending ? std::move(*pending) : E{};
    value.add_in_place(scc_id, sum);
    return value;
  }

  Status emit_component(std::span<const analysis::Vertex> members, const NodeValue&, const E& value) {
    const std::uint64_t estimate = value.estimate();
    for (const analysis::Vertex member : members) subtree_sizes_[member] = estimate;
    return {};
  }

 private:
  const dominators::HeapGraph& graph_;
  std::vector<std::uint64_t>& subtree_sizes_;
  Progress& cancellation_;
  analysis::Vertex next_root_ = 1;
};

}  // namespace vesker
