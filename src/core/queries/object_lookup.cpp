#include "core/queries/object_lookup.h"

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"

namespace vesker {

Result<ObjectSummary> get_summary(const Store& store, const Transaction& txn, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(auto summary, read_stored_record<decode_object_summary>(store, txn, id));
  if (!summary) return fail(Error::decoding("Decoding error: Missing record for ID " + std::to_string(id)));
  return std::move(*summary);
}

Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Store& store, const Transaction& txn,
                                                         std::span<const std::uint64_t> ids) {
  std::vector<ObjectSummary> summaries;
  summaries.reserve(ids.size());
  for (std::uint64_t id : ids) {
    VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(store, txn, id));
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

namespace {

// The ids stored for `id` in `referrers`, in their duplicate order.
Result<std::vector<std::uint64_t>> referrer_ids(const Store& store, const Transaction& txn, std::uint64_t id) {
  std::vector<std::uint64_t> ids;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET, IdBytes(id).view()));
  if (!entry) return ids;
  VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_FIRST_DUP));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
    ids.push_back(referrer);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return ids;
}

}  // namespace

Result<std::optional<ObjectRecord>> get_object(const Store& store, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(auto raw, read_stored_record<decode_raw_object_record>(store, txn, id));
  if (!raw) return std::nullopt;

  // Referrers before references: when both would fail, the referrers' error is reported.
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> referrers, referrer_ids(store, txn, id));
  ObjectRecord record;
  VESKER_ASSIGN_OR_RETURN(record.referrers, get_summaries_for_ids(store, txn, referrers));
  VESKER_ASSIGN_OR_RETURN(record.references, get_summaries_for_ids(store, txn, raw->references));
  record.id = raw->id;
  record.type = std::move(raw->type);
  record.value = std::move(raw->value);
  record.size = raw->size;
  record.subtree_size = raw->subtree_size;
  return record;
}

}  // namespace vesker
