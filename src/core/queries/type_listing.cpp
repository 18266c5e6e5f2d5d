#include "core/queries/type_listing.h"

#include <limits>
#include <string>

#include "core/queries/object_lookup.h"

namespace vesker {
namespace {

// The positions of a listing that one call keeps.
struct Window {
  std::uint64_t skip = 0;
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
};

// Nothing when the page starts beyond any list a store can hold: page * kPageSize would not
// fit in 64 bits, and wrapping it round would hand out an early page instead.
std::optional<Window> window_for(std::optional<std::uint64_t> page) {
  if (!page) return Window{};
  if (*page > std::numeric_limits<std::uint64_t>::max() / kPageSize) return std::nullopt;
  return Window{*page * kPageSize, kPageSize};
}

// The ids of the kept entries among the duplicates of `type` in `db`, in stored order.
// Skipped entries are only stepped over: their contents cannot change the result.
template <class DecodeId>
Result<std::vector<std::uint64_t>> kept_ids(const Transaction& txn, Database db, const Type& type,
                                            std::optional<std::uint64_t> page, DecodeId decode) {
  std::vector<std::uint64_t> ids;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, db));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET, type.bytes()));
  if (!entry) return ids;
  const std::optional<Window> window = window_for(page);
  if (!window) return ids;
  VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_FIRST_DUP));
  auto keep = [&](std::string_view value) -> Status {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, decode(value));
    ids.push_back(id);
    return {};
  };

  std::uint64_t position = 0;
  const std::size_t width = entry ? entry->value.size() : 0;
  if (window->skip > 0 && width > 0) {
    // The values of one key all have the same width (MDB_DUPFIXED), so LMDB hands them out a
    // page at a time as one array; far pages are reached without a cursor step per entry.
    VESKER_ASSIGN_OR_RETURN(const std::size_t count, cursor.duplicate_count());
    if (count <= window->skip) return ids;
    // A key with two or more values: MDB_GET_MULTIPLE returns the first page and leaves the
    // cursor on its last value, and each MDB_NEXT_MULTIPLE the next page likewise.
    VESKER_ASSIGN_OR_RETURN(auto chunk, cursor.move(MDB_GET_MULTIPLE));
    while (chunk && position + chunk->value.size() / width <= window->skip) {
      position += chunk->value.size() / width;
      VESKER_ASSIGN_OR_RETURN(chunk, cursor.move(MDB_NEXT_MULTIPLE));
    }
    if (!chunk) internal_error("fewer duplicates in the pages than the cursor counted");
    const std::string_view values = chunk->value;
    for (std::size_t offset = (window->skip - position) * width; offset + width <= values.size(); offset += width) {
      VESKER_TRY(keep(values.substr(offset, width)));
      if (ids.size() == window->limit) return ids;
    }
    position += values.size() / width;
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  for (; entry; ++position) {
    if (position >= window->skip) {
      VESKER_TRY(keep(entry->value));
      if (ids.size() == window->limit) break;
    }
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return ids;
}

Result<std::uint64_t> size_index_id(std::string_view value) {
  VESKER_ASSIGN_OR_RETURN(const SizeIndexEntry entry, SizeIndexEntry::decode(value));
  return entry.id;
}

Result<std::uint64_t> count_in(const Store& store, const Transaction& txn, const Type& type) {
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.type_summaries, type.bytes()));
  if (!stored) return 0;
  VESKER_ASSIGN_OR_RETURN(const TypeSummary summary, TypeSummary::decode(*stored));
  return summary.count;
}

}  // namespace

Result<std::uint64_t> get_count_for_type(const Store& store, const Type& type) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  return count_in(store, txn, type);
}

Result<std::uint64_t> get_page_count_for_type(const Store& store, const Type& type) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t count, count_in(store, txn, type));
  return count / kPageSize + (count % kPageSize != 0 ? 1 : 0);
}

Result<std::vector<std::pair<Type, TypeSummary>>> get_type_summaries(const Store& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.type_summaries));
  std::vector<std::pair<Type, TypeSummary>> rows;
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(Type type, decode_type(entry->key));
    VESKER_ASSIGN_OR_RETURN(const TypeSummary summary, TypeSummary::decode(entry->value));
    rows.emplace_back(std::move(type), summary);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  return rows;
}

Result<std::vector<ObjectSummary>> get_objects_by_type(const Store& store, const Type& type,
                                                       std::optional<std::uint64_t> page) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> ids, kept_ids(txn, store.types, type, page, decode_id));
  return get_summaries_for_ids(store, txn, ids);
}

Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Store& store, const Type& type,
                                                                       bool subtree_size,
                                                                       std::optional<std::uint64_t> page) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  const Database index = subtree_size ? store.types_subtree_size_index : store.types_size_index;
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> ids, kept_ids(txn, index, type, page, size_index_id));
  return get_summaries_for_ids(store, txn, ids);
}

}  // namespace vesker
