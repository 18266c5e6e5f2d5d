#include "core/queries/tolerant_lookup.h"

#include <algorithm>
#include <string>

#include "absl/container/flat_hash_set.h"
#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

Result<std::optional<std::string_view>> stored_record(const Store& store, const Transaction& txn, std::uint64_t id) {
  return txn.get(store.primary, IdBytes(id).view());
}

Result<ObjectSummary> summary_of(std::string_view stored) {
  auto summary = decode_object_summary(stored);
  if (!summary) return fail(Error::decoding(summary.error()));
  return std::move(*summary);
}

}  // namespace

Result<TolerantSummary> tolerant_reference(const Store& store, const Transaction& txn, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(auto stored, stored_record(store, txn, id));
  if (!stored) return TolerantSummary{id, TolerantSummary::State::kMissing, std::nullopt};
  VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, summary_of(*stored));
  return TolerantSummary{id, TolerantSummary::State::kPresent, std::move(summary)};
}

// A referrer row stays when its record is replaced; the record then says whether it still
// refers to `target`.
Result<TolerantSummary> tolerant_referrer(const Store& store, const Transaction& txn, std::uint64_t id, std::uint64_t target) {
  VESKER_ASSIGN_OR_RETURN(auto stored, stored_record(store, txn, id));
  if (!stored) return TolerantSummary{id, TolerantSummary::State::kMissing, std::nullopt};
  auto record = decode_object_record_no_value(*stored);
  if (!record) return fail(Error::decoding(record.error()));
  const bool refers = std::ranges::find(record->references, target) != record->references.end();
  VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, summary_of(*stored));
  return TolerantSummary{id, refers ? TolerantSummary::State::kPresent : TolerantSummary::State::kStale,
                         std::move(summary)};
}

Result<std::optional<TolerantObject>> get_object_tolerant(const Store& store, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(auto stored, stored_record(store, txn, id));
  if (!stored) return std::nullopt;
  auto raw = decode_raw_object_record(*stored);
  if (!raw) return fail(Error::decoding(raw.error()));
  TolerantObject object;
  object.summary = ObjectSummary{raw->id, std::move(raw->type), std::move(raw->value), raw->size, raw->subtree_size};
  object.references.reserve(raw->references.size());
  for (const std::uint64_t reference_id : raw->references) {
    VESKER_ASSIGN_OR_RETURN(TolerantSummary summary, tolerant_reference(store, txn, reference_id));
    object.references.push_back(std::move(summary));
  }

  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET, IdBytes(id).view()));
  if (entry) {
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_FIRST_DUP));
  }
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer_id, decode_id(entry->value));
    VESKER_ASSIGN_OR_RETURN(TolerantSummary summary, tolerant_referrer(store, txn, referrer_id, id));
    object.referrers.push_back(std::move(summary));
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return object;
}

Result<ReferenceCheck> check_references(const Store& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  return check_references(store, txn);
}

Result<ReferenceCheck> check_references(const Store& store, const Transaction& txn) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  // Keys first, so that each reference is one hash lookup instead of one tree descent.
  absl::flat_hash_set<std::uint64_t> ids;
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.move(MDB_FIRST));
  while (entry) {
    ids.insert(load_u64_le(entry->key.data()));
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  ReferenceCheck check{ids.size(), 0};
  VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_FIRST));
  while (entry) {
    auto record = decode_object_record_no_value(entry->value);
    if (!record) return fail(Error::decoding(record.error()));
    for (const std::uint64_t reference_id : record->references) check.dangling_references += !ids.contains(reference_id);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT));
  }
  return check;
}

}  // namespace vesker
