#include "core/queries/path_search.h"

#include <algorithm>
#include <deque>
#include <string>

#include "absl/container/flat_hash_map.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/queries/object_lookup.h"

namespace vesker {
namespace {

Result<ObjectRecordNoValue> read_endpoint(const Store& store, const Transaction& txn, std::uint64_t id,
                                          const char* role) {
  VESKER_ASSIGN_OR_RETURN(auto record, read_stored_record<decode_object_record_no_value>(store, txn, id));
  if (!record) return fail(Error::not_found(id, std::string(role) + " ID " + std::to_string(id) + " not found in database"));
  return std::move(*record);
}

// Each discovered id with the id it was discovered from; the start has none.
using Parents = absl::flat_hash_map<std::uint64_t, std::optional<std::uint64_t>>;

Result<std::vector<ObjectSummary>> path_to(const Store& store, const Transaction& txn, const Parents& parents,
                                           std::uint64_t end_id) {
  std::vector<ObjectSummary> path;
  std::optional<std::uint64_t> id = end_id;
  while (id) {
    VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(store, txn, *id));
    path.push_back(std::move(summary));
    const auto parent = parents.find(*id);
    if (parent == parents.end()) internal_error("path step without a recorded parent");
    id = parent->second;
  }
  std::reverse(path.begin(), path.end());
  return path;
}

}  // namespace

Result<std::optional<std::vector<ObjectSummary>>> find_path_between_objects(
    const Store& store, std::uint64_t start_id, std::uint64_t end_id,
    const absl::flat_hash_set<std::uint64_t>& avoiding_ids, MissingRecords missing,
    Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(ObjectRecordNoValue start, read_endpoint(store, txn, start_id, "Start"));
  VESKER_ASSIGN_OR_RETURN(const ObjectRecordNoValue end, read_endpoint(store, txn, end_id, "End"));
  std::deque<ObjectRecordNoValue> queue;
  queue.push_back(std::move(start));

  Parents parents;
  parents.emplace(start_id, std::nullopt);
  // Cut-off and module objects: never read or entered again.
  absl::flat_hash_set<std::uint64_t> excluded;

  while (!queue.empty()) {
    const ObjectRecordNoValue current = std::move(queue.front());
    queue.pop_front();
    // Everything reachable from an object counts towards its subtree size, so one smaller
    // than the end object cannot lead to it (exactly so for exact sizes).
    if (current.subtree_size && end.subtree_size && *current.subtree_size < *end.subtree_size) {
      excluded.insert(current.id);
      continue;
    }
    if (current.id == end_id) {
      VESKER_ASSIGN_OR_RETURN(std::vector<ObjectSummary> path, path_to(store, txn, parents, end_id));
      return path;
    }
    for (const std::uint64_t next : current.references) {
      VESKER_TRY(cancellation.poll());
      if (excluded.contains(next) || avoiding_ids.contains(next)) continue;
      VESKER_ASSIGN_OR_RETURN(auto record, read_stored_record<decode_object_record_no_value>(store, txn, next));
      if (!record) {
        if (missing == MissingRecords::kSkip) continue;
        return fail_as(ErrorKind::bad_record, "Decoding error: Missing record for ID " + std::to_string(next));
      }
      if (record->type == kModuleTypeName) {
        excluded.insert(next);
        continue;
      }
      if (!parents.emplace(next, current.id).second) continue;
      queue.push_back(std::move(*record));
    }
  }
  return std::nullopt;
}

}  // namespace vesker
