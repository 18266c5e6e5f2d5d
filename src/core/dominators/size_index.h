// The by-size indexes of the store (subtree sizes, retained sizes): every object under its
// type's name and under the all-types key, largest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/common/error.h"
#include "core/dominators/heap_graph.h"
#include "core/dominators/successive_writes.h"
#include "core/store/transaction.h"

namespace vesker::dominators {

// The index's rows as vertex numbers, 8 bytes an object rather than a row of 24: `by_size`
// lists every object by descending size, then ascending id (vertices are numbered in id order),
// which is the order of the values under the all-types key; `by_type` is the same list grouped
// by type, the group of type t at by_type[type_starts[t] .. type_starts[t + 1]).
struct SizeIndexOrder {
  std::vector<Vertex> by_size;
  std::vector<Vertex> by_type;
  std::vector<std::size_t> type_starts;
};

// `size_by_vertex[v]` is vertex v's size; ids and types come from `graph`.
SizeIndexOrder size_index_order(const HeapGraph& graph, std::span<const std::uint64_t> size_by_vertex);

// Puts the rows of `db` in key byte order: each key's values are (~size, id) as big-endian
// numbers. A type named like the all-types key shares it, its rows among that key's. `poll`
// is called between pieces of values, where the writes may also move on to their next
// transaction.
Status put_size_index(SuccessiveWrites& writes, Database db, const HeapGraph& graph,
                      std::span<const std::uint64_t> size_by_vertex, const SizeIndexOrder& order,
                      const std::function<Status()>& poll);

}  // namespace vesker::dominators
