// The object graph of a store held as compact arrays, for analyses that visit every edge many
// times: dense vertex numbers instead of ids, successors and predecessors in CSR form.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker::dominators {

// Vertex 0 stands for the virtual root; object k of the store (in ascending id order) is vertex
// k + 1. Vertex numbers are 32-bit, which keeps every per-vertex array at 4 bytes a slot.
using Vertex = std::uint32_t;
inline constexpr Vertex kRoot = 0;

// What a graph is read for. The retained sizes follow every reference and walk predecessors;
// the subtree sizes treat references into modules as no edges and walk successors only.
struct HeapGraphShape {
  bool references_into_modules = true;
  bool predecessors = true;
};

struct HeapGraph {
  std::vector<std::uint64_t> ids;    // by vertex; ids[0] is unused (the root)
  std::vector<std::uint64_t> sizes;  // by vertex; sizes[0] = 0
  std::vector<std::uint32_t> types;  // by vertex: index into type_names
  std::vector<std::string> type_names;
  std::vector<bool> is_module;  // by vertex
  // Successors of v are successors[successor_offsets[v] .. successor_offsets[v + 1]); the same
  // for predecessors (left empty where the shape asks for none). References to ids without a
  // record are dropped, and so are references into modules where the shape says so; duplicates
  // are kept, in record order.
  std::vector<std::uint64_t> successor_offsets;
  std::vector<Vertex> successors;
  std::vector<std::uint64_t> predecessor_offsets;
  std::vector<Vertex> predecessors;
  // References to ids without a record, each time a record names one: what the import's facts
  // report, counted here so that a step which reads the graph need not read every record again.
  std::uint64_t dangling_references = 0;

  Vertex vertex_count() const noexcept { return static_cast<Vertex>(ids.size()); }  // the root included
  std::span<const Vertex> successors_of(Vertex v) const noexcept {
    return {successors.data() + successor_offsets[v], successors.data() + successor_offsets[v + 1]};
  }
  std::span<const Vertex> predecessors_of(Vertex v) const noexcept {
    return {predecessors.data() + predecessor_offsets[v], predecessors.data() + predecessor_offsets[v + 1]};
  }
  // Bytes held by the arrays above.
  std::uint64_t memory_bytes() const noexcept;
};

// Collects objects in ascending id order, then resolves references to vertices.
class HeapGraphBuilder {
 public:
  explicit HeapGraphBuilder(std::uint64_t expected_objects = 0, HeapGraphShape shape = {});
  // Ids must come strictly ascending.
  Status add(std::uint64_t id, std::string_view type, std::uint64_t size, std::span<const std::uint64_t> references);
  HeapGraph finish() &&;

 private:
  HeapGraph graph_;
  HeapGraphShape shape_;
  std::vector<std::uint64_t> reference_ids_;  // successors as ids until finish() resolves them
  absl::flat_hash_map<std::string, std::uint32_t> type_numbers_;
};

// Reads every record of `primary` in one pass over the snapshot `txn`, reporting the records
// read of all to `progress`; its error ends the read.
Result<HeapGraph> read_heap_graph(const Store& store, const Transaction& txn, Progress& progress,
                                  HeapGraphShape shape = {});

}  // namespace vesker::dominators
