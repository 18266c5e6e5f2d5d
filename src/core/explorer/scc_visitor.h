// The stored heap as a graph for the SCC traversal, and the subtree sizes it stores back.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "core/analysis/size_estimator.h"
#include "core/analysis/tarjan.h"
#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/store/store.h"

namespace vesker {

// Nodes are the records of `primary` in id order; edges are references, except those to ids
// without a record and those into objects of type "builtins.module". Each finished component
// folds its members' sizes into the estimator E, and every member gets the estimate as its
// subtree size.
template <analysis::SizeEstimator E>
class StronglyConnectedComponentsVisitor {
 public:
  // A record without its value. A successor that is already discovered is handed out with its
  // id alone: the traversal reads nothing else of it.
  using Node = ObjectRecordNoValue;
  using NodeValue = std::uint64_t;
  using SccValue = E;

  // Nodes are read from `snapshot` through `nodes`, a cursor on `primary` not yet positioned.
  StronglyConnectedComponentsVisitor(const Store& store, const Transaction& snapshot, Cursor nodes)
      : store_(store), snapshot_(snapshot), nodes_(std::move(nodes)) {}

  Result<std::optional<Node>> next_unvisited_node(analysis::IsVisited is_visited) {
    while (true) {
      VESKER_ASSIGN_OR_RETURN(auto entry, nodes_.move(positioned_ ? MDB_NEXT : MDB_FIRST));
      positioned_ = true;
      if (!entry) return std::nullopt;
      // Discovered records are skipped on their key alone, before any decoding.
      if (is_visited(load_u64_le(entry->key.data()))) continue;
      VESKER_ASSIGN_OR_RETURN(Node node, decode_node(entry->value));
      // Remembered so that references to it are dropped without reading it again.
      if (node.type == kModuleTypeName) module_ids_.insert(node.id);
      return node;
    }
  }

  std::uint64_t node_id(const Node& node) const noexcept { return node.id; }
  NodeValue node_value(const Node& node) const noexcept { return node.size; }

  Result<std::vector<Node>> get_successors(const Node& node, analysis::IsVisited is_visited) {
    std::vector<Node> successors;
    successors.reserve(node.references.size());
    for (const std::uint64_t id : node.references) {
      if (module_ids_.contains(id)) continue;
      // A discovered node was read from this same snapshot before, has a record and is no
      // module (those are in module_ids_), so reading it again would change nothing.
      if (is_visited(id)) {
        successors.push_back(Node{.id = id});
        continue;
      }
      VESKER_ASSIGN_OR_RETURN(auto stored, snapshot_.get(store_.primary, IdBytes(id).view()));
      if (!stored) continue;  // a dangling reference is no edge
      VESKER_ASSIGN_OR_RETURN(Node successor, decode_node(*stored));
      if (successor.type == kModuleTypeName) {
        module_ids_.insert(id);
        continue;
      }
      successors.push_back(std::move(successor));
    }
    return successors;
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

  // Members are delivered here in the traversal's order; their records are rewritten afterwards
  // in key order (store_subtree_sizes), which keeps the write transaction's pages sequential.
  Status emit_result(std::uint64_t id, const NodeValue&, const E& value) {
    subtree_sizes_.emplace_back(id, value.estimate());
    return {};
  }

  // Every emitted (id, subtree size), for store_subtree_sizes.
  std::vector<std::pair<std::uint64_t, std::uint64_t>>& subtree_sizes() noexcept { return subtree_sizes_; }

 private:
  static Result<Node> decode_node(std::string_view stored) {
    auto node = decode_object_record_no_value(stored);
    if (!node) return fail(Error::decoding(node.error()));
    return std::move(*node);
  }

  const Store& store_;
  const Transaction& snapshot_;
  Cursor nodes_;
  bool positioned_ = false;
  absl::flat_hash_set<std::uint64_t> module_ids_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> subtree_sizes_;
};

}  // namespace vesker
