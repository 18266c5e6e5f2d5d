#include "core/dominators/retained_queries.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "absl/strings/string_view.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/stored_fields.h"
#include "core/common/byte_order.h"
#include "core/dominators/retained_store.h"
#include "core/queries/object_lookup.h"
#include "core/store/lmdb_error.h"

namespace vesker::dominators {
namespace {

constexpr std::uint32_t kAbsentName = std::numeric_limits<std::uint32_t>::max();

// Every duplicate of `key` (16-byte entries), skipping `offset` of them, at most `limit`.
Result<std::vector<SizeIndexEntry>> entries_of(const Transaction& txn, Database db, std::string_view key,
                                               std::uint64_t offset, std::uint64_t limit) {
  std::vector<SizeIndexEntry> rows;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET_KEY, key));
  for (std::uint64_t skipped = 0; entry && rows.size() < limit; ++skipped) {
    if (skipped >= offset) {
      VESKER_ASSIGN_OR_RETURN(SizeIndexEntry row, SizeIndexEntry::decode(entry->value));
      rows.push_back(row);
    }
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return rows;
}

}  // namespace

Result<RetainedFacts> decode_retained(std::uint64_t id, std::string_view value) {
  if (value.size() != 17) return fail(Error::decoding("a dominator entry of " + std::to_string(value.size()) + " bytes"));
  RetainedFacts facts;
  facts.id = id;
  facts.flags = static_cast<std::uint8_t>(value[16]);
  if (!(facts.flags & kStoredByRoot)) facts.idom = load_u64_le(value.data());
  facts.retained = load_u64_le(value.data() + 8);
  return facts;
}

Result<std::optional<RetainedFacts>> read_retained(const Transaction& txn, const AnalysisStore& store,
                                                   std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(const auto value, txn.get(store.dominators, IdBytes(id).view()));
  if (!value) return std::nullopt;
  return decode_retained(id, *value);
}

Result<std::vector<SizeIndexEntry>> top_retained(const Transaction& txn, const AnalysisStore& store,
                                                 std::string_view type, std::uint64_t offset, std::uint64_t limit) {
  return entries_of(txn, store.retained_index, type, offset, limit);
}

Result<std::vector<SizeIndexEntry>> dominated_by(const Transaction& txn, const AnalysisStore& store,
                                                 std::optional<std::uint64_t> parent) {
  char key[8];
  std::string_view key_view = kRootChildrenKey;
  if (parent) {
    store_u64_be(key, *parent);
    key_view = std::string_view(key, 8);
  }
  return entries_of(txn, store.dominator_children, key_view, 0, std::numeric_limits<std::uint64_t>::max());
}

Result<std::vector<TreeRow>> dominator_tree_rows(const Transaction& txn, const AnalysisStore& store,
                                                 std::optional<std::uint64_t> parent,
                                                 const absl::flat_hash_set<std::string>& expand, std::uint64_t limit,
                                                 Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(const std::vector<SizeIndexEntry> children, dominated_by(txn, store, parent));
  // The root has hundreds of thousands of children in a large heap: their type and size are read
  // from the stored records, and only the rows shown alone are decoded whole, for their values.
  std::vector<TreeRow> rows;
  absl::flat_hash_map<std::string, std::size_t> merged;  // type -> its row
  VESKER_ASSIGN_OR_RETURN(Cursor records, Cursor::open(txn, store.store.primary));
  for (const SizeIndexEntry& child : children) {
    VESKER_TRY(cancellation.poll());
    VESKER_ASSIGN_OR_RETURN(auto stored, records.seek(MDB_SET_KEY, IdBytes(child.id).view()));
    std::optional<std::string_view> type;
    std::optional<StoredSizes> sizes;
    if (stored) {
      type = stored_type(stored->value);
      sizes = stored_sizes(stored->value);
    }
    std::string decoded_type;  // the type when the stored record needed the decoder
    std::string_view type_name;
    std::uint64_t size = 0;
    if (type && sizes) {
      type_name = *type;
      size = sizes->size;
    } else {  // also the error for a missing record
      VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(store.store, txn, child.id));
      decoded_type = std::move(summary.type);
      type_name = decoded_type;
      size = summary.size;
    }
    const absl::string_view key(type_name.data(), type_name.size());  // abseil's own, for lookups without a copy
    if (!expand.contains(key)) {
      if (auto found = merged.find(key); found != merged.end()) {
        TreeRow& row = rows[found->second];
        row.id.reset();
        ++row.count;
        row.size += size;
        row.retained += child.size;
        continue;
      }
      merged.emplace(key, rows.size());
    }
    rows.push_back(TreeRow{child.id, std::string(type_name), std::nullopt, 1, size, child.size});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const TreeRow& a, const TreeRow& b) { return a.retained > b.retained; });
  if (rows.size() > limit) rows.resize(limit);
  for (TreeRow& row : rows) {
    if (!row.id) continue;
    VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(store.store, txn, *row.id));
    row.value = std::move(summary.value);
  }
  return rows;
}

Result<std::optional<std::vector<std::uint64_t>>> dominator_chain(const Transaction& txn, const AnalysisStore& store,
                                                                  std::uint64_t id) {
  std::vector<std::uint64_t> chain;
  std::optional<std::uint64_t> current = id;
  while (current) {
    VESKER_ASSIGN_OR_RETURN(const auto facts, read_retained(txn, store, *current));
    if (!facts) {
      if (chain.empty()) return std::nullopt;
      return fail(Error::decoding("the immediate dominator " + std::to_string(*current) + " has no entry"));
    }
    chain.push_back(*current);
    current = facts->idom;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

Result<std::optional<std::vector<std::uint64_t>>> shortest_root_path(const Transaction& txn,
                                                                     const AnalysisStore& store, std::uint64_t id,
                                                                     Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(const auto target, read_retained(txn, store, id));
  if (!target) return std::nullopt;
  // Breadth first from the object backwards: the first object found that the root refers to
  // starts a shortest path, every root edge being one step long.
  absl::flat_hash_map<std::uint64_t, std::uint64_t> toward_target;  // object -> next object of the path
  std::deque<std::uint64_t> queue{id};
  toward_target.emplace(id, id);
  VESKER_ASSIGN_OR_RETURN(Cursor referrers, Cursor::open(txn, store.store.referrers));
  while (!queue.empty()) {
    const std::uint64_t current = queue.front();
    queue.pop_front();
    VESKER_ASSIGN_OR_RETURN(const auto facts, read_retained(txn, store, current));
    if (facts && (facts->flags & kStoredRootEdge)) {
      std::vector<std::uint64_t> path{current};
      for (std::uint64_t at = current; at != id;) path.push_back(at = toward_target.at(at));
      return path;
    }
    VESKER_ASSIGN_OR_RETURN(auto entry, referrers.seek(MDB_SET_KEY, IdBytes(current).view()));
    while (entry) {
      VESKER_TRY(cancellation.poll());
      VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
      if (toward_target.emplace(referrer, current).second) queue.push_back(referrer);
      VESKER_ASSIGN_OR_RETURN(entry, referrers.move(MDB_NEXT_DUP));
    }
  }
  return fail(Error::decoding("no object the root refers to reaches " + std::to_string(id)));
}

Result<std::vector<std::pair<std::string, std::uint64_t>>> type_retained(const Transaction& txn,
                                                                         const AnalysisStore& store) {
  std::vector<std::pair<std::string, std::uint64_t>> rows;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.type_retained));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t retained, decode_id(entry->value));
    rows.emplace_back(std::string(entry->key), retained);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  return rows;
}

Status put_reference_names(Transaction& txn, const AnalysisStore& store, std::uint64_t id, const ReferenceNames& names) {
  // Each name as a 4-byte little-endian length (all ones when absent) and its bytes.
  std::string encoded;
  for (const auto& name : names) {
    char length[4];
    const std::uint32_t size = name ? static_cast<std::uint32_t>(name->size()) : kAbsentName;
    std::memcpy(length, &size, 4);
    encoded.append(length, 4);
    if (name) encoded.append(*name);
  }
  return txn.put(store.reference_names, IdBytes(id).view(), encoded);
}

Result<std::optional<ReferenceNames>> read_reference_names(const Transaction& txn, const AnalysisStore& store,
                                                          std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(const auto encoded, txn.get(store.reference_names, IdBytes(id).view()));
  if (!encoded) return std::nullopt;
  ReferenceNames names;
  std::string_view rest = *encoded;
  while (rest.size() >= 4) {
    std::uint32_t size;
    std::memcpy(&size, rest.data(), 4);
    rest.remove_prefix(4);
    if (size == kAbsentName) {
      names.emplace_back();
      continue;
    }
    if (rest.size() < size) return fail(Error::decoding("a truncated reference name"));
    names.emplace_back(std::string(rest.substr(0, size)));
    rest.remove_prefix(size);
  }
  return names;
}

Result<std::optional<std::string>> reference_name(const Transaction& txn, const AnalysisStore& store,
                                                  std::uint64_t from, std::uint64_t to) {
  VESKER_ASSIGN_OR_RETURN(const auto encoded, txn.get(store.reference_names, IdBytes(from).view()));
  if (!encoded) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(const auto record, txn.get(store.store.primary, IdBytes(from).view()));
  if (!record) return std::nullopt;
  auto decoded = decode_object_record_no_value(*record);
  if (!decoded) return fail(Error::decoding(decoded.error()));
  std::string_view rest = *encoded;
  for (const std::uint64_t reference : decoded->references) {
    if (rest.size() < 4) break;
    std::uint32_t size;
    std::memcpy(&size, rest.data(), 4);
    rest.remove_prefix(4);
    if (size == kAbsentName) continue;
    if (rest.size() < size) return fail(Error::decoding("a truncated reference name"));
    if (reference == to) return std::string(rest.substr(0, size));
    rest.remove_prefix(size);
  }
  return std::nullopt;
}

}  // namespace vesker::dominators
