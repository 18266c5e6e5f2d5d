#include "core/dominators/heap_graph.h"

#include <limits>
#include <utility>

#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/store/lmdb_error.h"

namespace vesker::dominators {

std::uint64_t HeapGraph::memory_bytes() const noexcept {
  std::uint64_t bytes = ids.capacity() * 8 + sizes.capacity() * 8 + types.capacity() * 4 + is_module.capacity() / 8;
  bytes += successor_offsets.capacity() * 8 + successors.capacity() * 4;
  bytes += predecessor_offsets.capacity() * 8 + predecessors.capacity() * 4;
  for (const std::string& name : type_names) bytes += name.capacity();
  return bytes;
}

HeapGraphBuilder::HeapGraphBuilder(std::uint64_t expected_objects, HeapGraphShape shape) : shape_(shape) {
  graph_.ids.reserve(expected_objects + 1);
  graph_.sizes.reserve(expected_objects + 1);
  graph_.types.reserve(expected_objects + 1);
  graph_.successor_offsets.reserve(expected_objects + 2);
  graph_.ids.push_back(0);
  graph_.sizes.push_back(0);
  graph_.types.push_back(0);
  graph_.is_module.push_back(false);
  graph_.successor_offsets.assign({0, 0});
}

Status HeapGraphBuilder::add(std::uint64_t id, std::string_view type, std::uint64_t size,
                             std::span<const std::uint64_t> references) {
  if (graph_.ids.size() > 1 && id <= graph_.ids.back()) internal_error("objects must come in ascending id order");
  if (graph_.ids.size() >= std::numeric_limits<Vertex>::max()) {
    return fail_message("the store holds more objects than the retained-size analysis can number (2^32 - 1)");
  }
  graph_.ids.push_back(id);
  graph_.sizes.push_back(size);
  auto [entry, inserted] = type_numbers_.try_emplace(std::string(type), 0);
  if (inserted) {
    entry->second = static_cast<std::uint32_t>(graph_.type_names.size());
    graph_.type_names.emplace_back(type);
  }
  graph_.types.push_back(entry->second);
  graph_.is_module.push_back(type == kModuleTypeName);
  reference_ids_.insert(reference_ids_.end(), references.begin(), references.end());
  graph_.successor_offsets.push_back(reference_ids_.size());
  return {};
}

namespace {

// Vertex numbers by id: an open-addressing table of 4-byte slots that holds vertices alone and
// finds their ids in the graph's own array, a quarter of what a map of ids to vertices takes
// (about 7 bytes an object rather than 27), at the cost of a second memory access per lookup.
class VertexIndex {
 public:
  explicit VertexIndex(const std::vector<std::uint64_t>& ids) : ids_(ids) {
    std::size_t capacity = 16;
    while (capacity < ids.size() + ids.size() / 2) capacity *= 2;  // at most two thirds full
    mask_ = capacity - 1;
    slots_.assign(capacity, kRoot);
    for (Vertex v = 1; v < ids.size(); ++v) {
      std::size_t slot = hash(ids[v]) & mask_;
      while (slots_[slot] != kRoot) slot = (slot + 1) & mask_;
      slots_[slot] = v;
    }
  }

  // The vertex of `id`, or kRoot when no object has it.
  Vertex find(std::uint64_t id) const noexcept {
    for (std::size_t slot = hash(id) & mask_;; slot = (slot + 1) & mask_) {
      const Vertex v = slots_[slot];
      if (v == kRoot || ids_[v] == id) return v;
    }
  }

 private:
  // Ids are addresses, multiples of 16 clustered in arenas: their low bits alone would collide.
  static std::uint64_t hash(std::uint64_t id) noexcept {
    id ^= id >> 33;
    id *= 0xff51afd7ed558ccdULL;
    return id ^ (id >> 33);
  }

  const std::vector<std::uint64_t>& ids_;
  std::vector<Vertex> slots_;
  std::size_t mask_ = 0;
};

}  // namespace

HeapGraph HeapGraphBuilder::finish() && {
  HeapGraph& g = graph_;
  const Vertex count = g.vertex_count();
  {
    const VertexIndex vertex_of(g.ids);
    // Resolve in place, dropping dangling references and compacting the offsets as we go.
    g.successors.reserve(reference_ids_.size());
    std::uint64_t begin = 0;
    for (Vertex v = 1; v < count; ++v) {
      const std::uint64_t end = g.successor_offsets[v + 1];
      g.successor_offsets[v] = g.successors.size();
      for (std::uint64_t e = begin; e < end; ++e) {
        const Vertex found = vertex_of.find(reference_ids_[e]);
        if (found == kRoot) {
          ++g.dangling_references;
          continue;
        }
        if (!shape_.references_into_modules && g.is_module[found]) continue;
        g.successors.push_back(found);
      }
      begin = end;
    }
    g.successor_offsets[count] = g.successors.size();
    std::vector<std::uint64_t>().swap(reference_ids_);
  }
  g.successors.shrink_to_fit();
  if (!shape_.predecessors) return std::move(g);
  // Predecessors by a counting sort of the edges on their targets.
  g.predecessor_offsets.assign(static_cast<std::size_t>(count) + 1, 0);
  for (Vertex target : g.successors) ++g.predecessor_offsets[target + 1];
  for (Vertex v = 0; v < count; ++v) g.predecessor_offsets[v + 1] += g.predecessor_offsets[v];
  g.predecessors.resize(g.successors.size());
  std::vector<std::uint64_t> next(g.predecessor_offsets.begin(), g.predecessor_offsets.end() - 1);
  for (Vertex v = 1; v < count; ++v) {
    for (Vertex target : g.successors_of(v)) g.predecessors[next[target]++] = v;
  }
  return std::move(g);
}

Result<HeapGraph> read_heap_graph(const Store& store, const Transaction& txn, Progress& progress,
                                  HeapGraphShape shape) {
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(txn.handle(), txn.checked(store.primary), &stat)));
  HeapGraphBuilder builder(stat.ms_entries, shape);
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  std::uint64_t done = 0;
  for (; entry; ++done) {
    if (done % Progress::kStride == 0) VESKER_TRY(progress.report(done, stat.ms_entries));
    auto record = decode_object_record_no_value(entry->value);
    if (!record) return fail(Error::decoding(record.error()));
    VESKER_TRY(builder.add(load_u64_le(entry->key.data()), record->type, record->size, record->references));
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  return std::move(builder).finish();
}

}  // namespace vesker::dominators
