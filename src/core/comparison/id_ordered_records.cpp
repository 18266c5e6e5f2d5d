#include "core/comparison/id_ordered_records.h"

#include <lmdb.h>

#include <string>
#include <utility>

#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"

namespace vesker {

Result<IdOrderedRecords> IdOrderedRecords::open(const Store& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.primary));
  IdOrderedRecords records(std::move(txn), std::move(cursor));
  VESKER_ASSIGN_OR_RETURN(auto first, records.cursor_.move(MDB_FIRST));
  VESKER_TRY(records.position(std::move(first)));
  return records;
}

Status IdOrderedRecords::advance() {
  if (exhausted()) internal_error("advanced past the last record");
  VESKER_ASSIGN_OR_RETURN(auto next, cursor_.move(MDB_NEXT));
  return position(std::move(next));
}

Status IdOrderedRecords::position(std::optional<Entry> entry) {
  at_ = std::move(entry);
  read_ = false;
  if (!at_) return {};
  if (at_->key.size() != 8) return fail(Error::decoding("a record key of " + std::to_string(at_->key.size()) + " bytes"));
  id_ = load_u64_le(at_->key.data());
  return {};
}

Result<const RecordView*> IdOrderedRecords::current() const {
  if (exhausted()) return nullptr;
  if (read_) return &record_;
  if (auto view = read_stored_record(at_->value)) {
    record_ = *view;
  } else {
    auto summary = decode_object_summary(at_->value);
    if (!summary) return fail(Error::decoding(summary.error()));
    decoded_ = std::make_unique<ObjectSummary>(std::move(*summary));
    record_ = RecordView::of(*decoded_);
  }
  read_ = true;
  return &record_;
}

}  // namespace vesker
