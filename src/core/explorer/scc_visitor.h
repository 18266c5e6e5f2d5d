// The stored heap as a graph for the SCC traversal, and the subtree sizes it stores back.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "core/analysis/size_estimator.h"
#include "core/analysis/tarjan.h"
#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/common/cancellation.h"
#include "core/store/store.h"

namespace vesker {

// Nodes are the records of `primary` in id order; edges are references, except those to ids
// without a record and those into objects of type "builtins.module". Each finished component
// folds its members' sizes into the estimator E, and every member gets the estimate as its
// subtree size.
// Whether a stored record's type is exactly "builtins.module". Records written by this system
// begin {"id":<digits>,"type":"<type>", which answers it without decoding the rest; any other
// form is decoded in full.
Result<bool> is_module_record(std::string_view stored);

template <analysis::SizeEstimator E>
class StronglyConnectedComponentsVisitor {
 public:
  // A record of the snapshot, still encoded: it is decoded once, when the traversal discovers it
  // and asks for its successors, and never if it was discovered some other way in the meantime.
  // A successor that is already discovered comes with its id alone: the traversal reads nothing
  // else of it.
  struct Node {
    std::uint64_t id;
    std::string_view stored;  // valid as long as the snapshot
  };
  using NodeValue = std::uint64_t;
  using SccValue = E;

  // Nodes are read from `snapshot` through `nodes`, a cursor on `primary` not yet positioned;
  // `node_count` is the number of records there. `cancellation` is polled once per node listed.
  StronglyConnectedComponentsVisitor(const Store& store, const Transaction& snapshot, Cursor nodes,
                                     std::size_t node_count, CancellationCheck& cancellation)
      : store_(store), snapshot_(snapshot), nodes_(std::move(nodes)), node_count_(node_count),
        cancellation_(cancellation) {
    subtree_sizes_.reserve(node_count);
  }

  std::size_t node_count_hint() const noexcept { return node_count_; }

  Result<std::optional<Node>> next_unvisited_node(analysis::IsVisited is_visited) {
    while (true) {
      VESKER_ASSIGN_OR_RETURN(auto entry, nodes_.move(positioned_ ? MDB_NEXT : MDB_FIRST));
      positioned_ = true;
      if (!entry) return std::nullopt;
      // Discovered records are skipped on their key alone, before any decoding.
      const std::uint64_t id = load_u64_le(entry->key.data());
      if (is_visited(id)) continue;
      return Node{id, entry->value};
    }
  }

  std::uint64_t node_id(const Node& node) const noexcept { return node.id; }
  // The traversal reads a node's value right after listing its successors, from the same decode.
  NodeValue node_value(const Node& node) const {
    if (node.id != listed_id_) internal_error("node value read before its successors were listed");
    return listed_size_;
  }

  Result<std::vector<Node>> get_successors(const Node& node, analysis::IsVisited is_visited) {
    VESKER_TRY(cancellation_.poll());
    auto decoded = decode_object_record_no_value(node.stored);
    if (!decoded) return fail(Error::decoding(decoded.error()));
    const ObjectRecordNoValue& record = *decoded;
    listed_id_ = node.id;
    listed_size_ = record.size;
    // Remembered so that references to a module are dropped without reading it again.
    if (record.type == kModuleTypeName) module_ids_.insert(node.id);

    std::vector<Node> successors;
    successors.reserve(record.references.size());
    for (const std::uint64_t id : record.references) {
      if (module_ids_.contains(id)) continue;
      // A discovered node was read from this same snapshot before, has a record and is no
      // module (those are in module_ids_), so reading it again would change nothing.
      if (is_visited(id)) {
        successors.push_back(Node{id, {}});
        continue;
      }
      VESKER_ASSIGN_OR_RETURN(auto stored, snapshot_.get(store_.primary, IdBytes(id).view()));
      if (!stored) continue;  // a dangling reference is no edge
      VESKER_ASSIGN_OR_RETURN(const bool is_module, is_module_record(*stored));
      if (is_module) {
        module_ids_.insert(id);
        continue;
      }
      successors.push_back(Node{id, *stored});
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
  const Store& store_;
  const Transaction& snapshot_;
  Cursor nodes_;
  bool positioned_ = false;
  std::size_t node_count_;
  CancellationCheck& cancellation_;
  std::uint64_t listed_id_ = 0;
  std::uint64_t listed_size_ = 0;
  absl::flat_hash_set<std::uint64_t> module_ids_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> subtree_sizes_;
};

}  // namespace vesker
