#include "core/dominators/retained_store.h"

#include <xxhash.h>

#include <chrono>
#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include "core/codecs/index_values.h"
#include "core/common/byte_order.h"
#include "core/dominators/dominator_tree.h"
#include "core/dominators/size_index.h"
#include "core/dominators/successive_writes.h"
#include "core/store/lmdb_error.h"
#include "core/store/sorted_rows.h"

namespace vesker::dominators {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Result<std::uint64_t> entry_count(const Transaction& txn, Database db) {
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(txn.handle(), txn.checked(db), &stat)));
  return stat.ms_entries;
}

constexpr std::string_view kCompletionKey = "retained";
constexpr std::string_view kFingerprintField = "\"fingerprint\":\"";

std::string metadata_text(const std::string& fingerprint, const RetainedRun& run) {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"fingerprint\":\"%s\",\"objects\":%llu,\"unreachable\":%llu,\"total_size\":%llu}",
                fingerprint.c_str(), static_cast<unsigned long long>(run.objects),
                static_cast<unsigned long long>(run.unreachable), static_cast<unsigned long long>(run.total_size));
  return text;
}

template <class T>
void release(std::vector<T>& array) {
  std::vector<T>().swap(array);
}

Status clear(Transaction& txn, Database db) { return check_lmdb(mdb_drop(txn.handle(), txn.checked(db), 0)); }

Status drop_completion_record(Transaction& txn, const AnalysisStore& store) {
  MDB_val key = to_mdb_val(kCompletionKey);
  const int rc = mdb_del(txn.handle(), txn.checked(store.metadata), &key, nullptr);
  return rc == MDB_NOTFOUND ? Status{} : check_lmdb(rc);
}

// Writes the results, releasing every array once nothing further reads it. The first transaction
// drops the completion record, which the last one writes again: until then, readers (and a run
// stopped half-way) find the retained sizes missing rather than half written.
Status write_results(const AnalysisStore& store, SuccessiveWrites& writes, const HeapGraph& graph, DominatorTreeByVertex& tree,
                     const std::vector<std::uint64_t>& once, Progress& progress, std::uint64_t done,
                     std::uint64_t total) {
  for (Database db : {store.dominators, store.dominator_children, store.retained_index, store.type_retained}) {
    VESKER_TRY(clear(writes.txn(), db));
  }
  VESKER_TRY(drop_completion_record(writes.txn(), store));
  const auto count = static_cast<Vertex>(tree.idom.size());
  std::string run;
  const auto put_children = [&](Cursor& dominated, std::string_view key, Vertex v) -> Status {
    const std::span<const Vertex> children = tree.children.of(v);
    if (children.empty()) return {};
    run.clear();
    for (const Vertex child : children) {
      run.append(SizeIndexEntry{tree.retained[child], graph.ids[child]}.encode().view());
    }
    writes.wrote(key.size() + run.size());
    return put_duplicate_run(dominated, key, run, SizeIndexEntry::kEncodedSize, true);
  };
  // Vertices are numbered in id order, which is the key order of both databases; each
  // transaction appends the next stretch of them.
  for (Vertex v = 0; v < count;) {
    if (v > 0) VESKER_TRY(writes.next());
    VESKER_ASSIGN_OR_RETURN(Cursor objects, Cursor::open(writes.txn(), store.dominators));
    VESKER_ASSIGN_OR_RETURN(Cursor dominated, Cursor::open(writes.txn(), store.dominator_children));
    if (v == kRoot) VESKER_TRY(put_children(dominated, kRootChildrenKey, v++));
    for (; v < count && !writes.due(); ++v) {
      if (v % (1 << 16) == 0) VESKER_TRY(progress.report(done + v, total));
      const Vertex d = tree.idom[v];
      const std::uint64_t id = graph.ids[v];
      std::uint8_t flags = 0;
      if (tree.flags[v] & kRootEdge) flags |= kStoredRootEdge;
      if (tree.flags[v] & kUnreachable) flags |= kStoredUnreachable;
      if (d == kRoot) flags |= kStoredByRoot;
      char value[17];
      store_u64_le(value, d == kRoot ? 0 : graph.ids[d]);
      store_u64_le(value + 8, tree.retained[v]);
      value[16] = static_cast<char>(flags);
      MDB_val data{sizeof value, value};
      VESKER_TRY(objects.put(IdBytes(id).view(), &data, MDB_APPEND));
      writes.wrote(8 + sizeof value);
      char key[8];
      store_u64_be(key, id);
      VESKER_TRY(put_children(dominated, std::string_view(key, 8), v));
    }
  }
  // The index needs each vertex's retained size, nothing else of the tree.
  release(tree.children.offsets);
  release(tree.children.children);
  release(tree.idom);
  release(tree.flags);
  {
    const SizeIndexOrder order = size_index_order(graph, tree.retained);
    // The progress stays where the objects' writes left it.
    VESKER_TRY(put_size_index(writes, store.retained_index, graph, tree.retained, order,
                              [&]() -> Status { return progress.report(done + count - 1, total); }));
  }
  for (std::uint32_t t = 0; t < once.size(); ++t) {
    VESKER_TRY(writes.txn().put(store.type_retained, graph.type_names[t], IdBytes(once[t]).view()));
  }
  return {};
}

}  // namespace

Result<std::string> store_fingerprint(const Transaction& txn, const Store& store) {
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  struct Free {
    XXH3_state_t* state;
    ~Free() { XXH3_freeState(state); }
  } owner{state};
  XXH3_64bits_reset(state);
  for (Database db : {store.primary, store.referrers, store.types}) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t entries, entry_count(txn, db));
    XXH3_64bits_update(state, &entries, sizeof entries);
  }
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.type_summaries));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  for (; entry; ) {
    const std::uint64_t key_size = entry->key.size();
    XXH3_64bits_update(state, &key_size, sizeof key_size);
    XXH3_64bits_update(state, entry->key.data(), entry->key.size());
    XXH3_64bits_update(state, entry->value.data(), entry->value.size());
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(XXH3_64bits_digest(state)));
  return std::string(text);
}

Result<RetainedState> retained_state(const Transaction& txn, const AnalysisStore& store) {
  VESKER_ASSIGN_OR_RETURN(const auto recorded, txn.get(store.metadata, kCompletionKey));
  if (!recorded) return RetainedState::missing;
  VESKER_ASSIGN_OR_RETURN(const std::string fingerprint, store_fingerprint(txn, store.store));
  const std::size_t at = recorded->find(kFingerprintField);
  if (at == std::string_view::npos) return RetainedState::stale;
  const std::string_view stored = recorded->substr(at + kFingerprintField.size(), fingerprint.size());
  return stored == fingerprint ? RetainedState::fresh : RetainedState::stale;
}

Result<RetainedRun> compute_retained_sizes(const AnalysisStore& store, Progress& progress,
                                           std::size_t bytes_per_transaction) {
  RetainedRun run;
  auto started = Clock::now();
  HeapGraph graph;
  std::string fingerprint;
  {
    VESKER_ASSIGN_OR_RETURN(Transaction snapshot, store.store.begin_read());
    VESKER_ASSIGN_OR_RETURN(fingerprint, store_fingerprint(snapshot, store.store));
    Progress reading([&](std::uint64_t done, std::uint64_t n) { return progress.report(done, 5 * n); });
    VESKER_ASSIGN_OR_RETURN(graph, read_heap_graph(store.store, snapshot, reading));
  }
  const std::uint64_t objects = graph.vertex_count() - 1;
  const std::uint64_t total = 5 * objects;
  run.objects = objects;
  run.edges = graph.successors.size();
  run.graph_bytes = graph.memory_bytes();
  run.read_seconds = seconds_since(started);

  started = Clock::now();
  Progress dominating([&](std::uint64_t done, std::uint64_t) { return progress.report(objects + done, total); });
  VESKER_ASSIGN_OR_RETURN(DominatorTree tree, compute_dominator_tree_releasing_graph(graph, dominating));
  run.dominator_seconds = seconds_since(started);
  run.unreachable = tree.unreachable_count;
  run.total_size = tree.retained[0];
  // From here on only ids and types of the graph are read, and only those are left.
  // Before the writes, whose dirtied pages LMDB holds in memory, rather than after them.
  ChildLists children = child_lists(tree.idom);
  const std::vector<std::uint64_t> once = retained_by_type(graph, tree, children);
  DominatorTreeByVertex by_vertex = tree_by_vertex(graph, std::move(tree), std::move(children));

  started = Clock::now();
  VESKER_ASSIGN_OR_RETURN(Transaction writes, store.store.begin_write());
  SuccessiveWrites successive(writes, store.store, bytes_per_transaction);
  VESKER_TRY(write_results(store, successive, graph, by_vertex, once, progress, 4 * objects, total));
  VESKER_TRY(write_metadata(writes, store, kCompletionKey, metadata_text(fingerprint, run)));
  VESKER_TRY(writes.commit());
  run.write_seconds = seconds_since(started);
  return run;
}

}  // namespace vesker::dominators
