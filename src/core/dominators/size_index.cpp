#include "core/dominators/size_index.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"
#include "core/store/sorted_rows.h"

namespace vesker::dominators {
namespace {

// Values encoded at a time: a key's values (the all-types key's are all of a store's objects)
// go to LMDB piece by piece, with a poll between pieces.
constexpr std::size_t kValuesPerPut = std::size_t{1} << 16;

}  // namespace

SizeIndexOrder size_index_order(const HeapGraph& graph, std::span<const std::uint64_t> size_by_vertex) {
  SizeIndexOrder order;
  order.by_size.resize(graph.vertex_count() - 1);
  std::iota(order.by_size.begin(), order.by_size.end(), Vertex{1});
  std::sort(order.by_size.begin(), order.by_size.end(), [&](Vertex a, Vertex b) {
    return size_by_vertex[a] != size_by_vertex[b] ? size_by_vertex[a] > size_by_vertex[b] : a < b;
  });
  order.type_starts.assign(graph.type_names.size() + 1, 0);
  for (const Vertex v : order.by_size) ++order.type_starts[graph.types[v] + 1];
  for (std::size_t t = 0; t < graph.type_names.size(); ++t) order.type_starts[t + 1] += order.type_starts[t];
  order.by_type.resize(order.by_size.size());
  std::vector<std::size_t> next(order.type_starts.begin(), order.type_starts.end() - 1);
  for (const Vertex v : order.by_size) order.by_type[next[graph.types[v]]++] = v;
  return order;
}

Status put_size_index(SuccessiveWrites& writes, Database db, const HeapGraph& graph,
                      std::span<const std::uint64_t> size_by_vertex, const SizeIndexOrder& order,
                      const std::function<Status()>& poll) {
  std::vector<std::uint32_t> keys;  // type numbers; type_names.size() stands for the all-types key
  for (std::uint32_t t = 0; t < graph.type_names.size(); ++t) {
    if (graph.type_names[t] != Type::kAllTypesText) keys.push_back(t);
  }
  const auto all_types = static_cast<std::uint32_t>(graph.type_names.size());
  keys.push_back(all_types);
  const auto key_name = [&](std::uint32_t key) -> std::string_view {
    return key == all_types ? Type::kAllTypesText : std::string_view(graph.type_names[key]);
  };
  std::sort(keys.begin(), keys.end(), [&](std::uint32_t a, std::uint32_t b) { return key_name(a) < key_name(b); });
  std::optional<Cursor> cursor;
  VESKER_ASSIGN_OR_RETURN(cursor, Cursor::open(writes.txn(), db));
  VESKER_ASSIGN_OR_RETURN(auto last, cursor->move(MDB_LAST));
  const std::string last_key = last ? std::string(last->key) : std::string();
  DuplicatePutter putter(*cursor, SizeIndexEntry::kEncodedSize);
  std::string values;
  for (const std::uint32_t key : keys) {
    const std::span<const Vertex> run =
        key == all_types ? std::span<const Vertex>(order.by_size)
                         : std::span<const Vertex>(order.by_type)
                               .subspan(order.type_starts[key], order.type_starts[key + 1] - order.type_starts[key]);
    if (run.empty()) continue;
    const std::string_view name = key_name(key);
    VESKER_TRY(putter.begin_key(name, !last || name > last_key));
    for (std::size_t begin = 0; begin < run.size(); begin += kValuesPerPut) {
      VESKER_TRY(poll());
      if (writes.due()) {
        cursor.reset();  // a write transaction's cursors must be closed before it commits
        VESKER_TRY(writes.next());
        VESKER_ASSIGN_OR_RETURN(cursor, Cursor::open(writes.txn(), db));
        putter.reattach(*cursor);
      }
      const auto piece = run.subspan(begin, std::min(kValuesPerPut, run.size() - begin));
      values.resize(piece.size() * SizeIndexEntry::kEncodedSize);
      char* out = values.data();
      for (const Vertex v : piece) {
        store_u64_be(out, ~size_by_vertex[v]);
        store_u64_be(out + 8, graph.ids[v]);
        out += SizeIndexEntry::kEncodedSize;
      }
      VESKER_TRY(putter.put(values));
      writes.wrote(values.size());
    }
  }
  return putter.finish();
}

}  // namespace vesker::dominators
