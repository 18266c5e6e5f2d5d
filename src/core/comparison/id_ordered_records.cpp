#include "core/comparison/id_ordered_records.h"

#include <lmdb.h>

#include <utility>

#include "core/codecs/record_decoder.h"

namespace vesker {

Result<IdOrderedRecords> IdOrderedRecords::open(const Store& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  IdOrderedRecords records(std::move(txn), std::move(cursor));
  VESKER_ASSIGN_OR_RETURN(auto first, records.cursor_.move(MDB_FIRST));
  VESKER_TRY(records.decode(first));
  return records;
}

Status IdOrderedRecords::advance() {
  if (exhausted_) internal_error("advanced past the last record");
  VESKER_ASSIGN_OR_RETURN(auto next, cursor_.move(MDB_NEXT));
  return decode(next);
}

Status IdOrderedRecords::decode(const std::optional<Entry>& entry) {
  if (!entry) {
    exhausted_ = true;
    return {};
  }
  if (auto view = read_stored_record(entry->value)) {
    record_ = *view;
    return {};
  }
  auto summary = decode_object_summary(entry->value);
  if (!summary) return fail(Error::decoding(summary.error()));
  decoded_ = std::make_unique<ObjectSummary>(std::move(*summary));
  record_ = RecordView::of(*decoded_);
  return {};
}

}  // namespace vesker
