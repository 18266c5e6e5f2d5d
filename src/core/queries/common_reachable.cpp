#include "core/queries/common_reachable.h"

#include <string>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/queries/object_lookup.h"

namespace vesker {

void QueueItemHeap::push(QueueItem item) {
  items_.push_back(std::move(item));
  sift_up(items_.size() - 1);
}

QueueItem QueueItemHeap::pop() {
  if (items_.empty()) internal_error("pop from an empty queue");
  QueueItem last = std::move(items_.back());
  items_.pop_back();
  if (items_.empty()) return last;
  QueueItem top = std::move(items_.front());
  // Sinking the hole all the way costs one comparison per level; the last item, put into it
  // at the bottom, seldom has far to climb.
  const std::size_t end = items_.size();
  std::size_t hole = 0;
  std::size_t child = 1;
  while (child + 1 < end) {
    if (items_[child].subtree_size <= items_[child + 1].subtree_size) ++child;
    items_[hole] = std::move(items_[child]);
    hole = child;
    child = 2 * hole + 1;
  }
  if (child + 1 == end) {
    items_[hole] = std::move(items_[child]);
    hole = child;
  }
  items_[hole] = std::move(last);
  sift_up(hole);
  return top;
}

void QueueItemHeap::sift_up(std::size_t position) {
  QueueItem item = std::move(items_[position]);
  while (position > 0) {
    const std::size_t parent = (position - 1) / 2;
    if (item.subtree_size <= items_[parent].subtree_size) break;
    items_[position] = std::move(items_[parent]);
    position = parent;
  }
  items_[position] = std::move(item);
}

namespace {

Result<ObjectRecordNoValue> read_record(const Store& store, const Transaction& txn, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(auto record, read_stored_record<decode_object_record_no_value>(store, txn, id));
  if (!record) return fail(Error::not_found(id, "Object ID " + std::to_string(id) + " not found in database"));
  return std::move(*record);
}

Result<QueueItem> make_queue_item_from_record(ObjectRecordNoValue&& record, bool side) {
  if (!record.subtree_size) return fail(Error::not_computed(record.id, "No subtree size in " + std::to_string(record.id)));
  return QueueItem{record.id, *record.subtree_size, std::move(record.references), side};
}

Result<QueueItem> make_queue_item(const Store& store, const Transaction& txn, std::uint64_t id, bool side) {
  VESKER_ASSIGN_OR_RETURN(ObjectRecordNoValue record, read_record(store, txn, id));
  return make_queue_item_from_record(std::move(record), side);
}

}  // namespace

Result<std::optional<std::uint64_t>> find_largest_common_reachable_object(const Store& store, std::uint64_t obj_id1,
                                                                          std::uint64_t obj_id2,
                                                                          MissingRecords missing,
                                                                          Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  QueueItemHeap queue;
  VESKER_ASSIGN_OR_RETURN(QueueItem first, make_queue_item(store, txn, obj_id1, false));
  queue.push(std::move(first));
  VESKER_ASSIGN_OR_RETURN(QueueItem second, make_queue_item(store, txn, obj_id2, true));
  queue.push(std::move(second));

  absl::flat_hash_set<std::uint64_t> taken[2];
  while (!queue.empty()) {
    QueueItem item = queue.pop();
    if (!taken[item.side].insert(item.id).second) continue;
    if (taken[!item.side].contains(item.id)) return item.id;
    for (const std::uint64_t reference : item.references) {
      VESKER_TRY(cancellation.poll());
      if (missing == MissingRecords::kSkip) {
        VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, IdBytes(reference).view()));
        if (!stored) continue;
      }
      VESKER_ASSIGN_OR_RETURN(ObjectRecordNoValue record, read_record(store, txn, reference));
      if (record.type == kModuleTypeName) continue;
      VESKER_ASSIGN_OR_RETURN(QueueItem next, make_queue_item_from_record(std::move(record), item.side));
      queue.push(std::move(next));
    }
  }
  return std::nullopt;
}

}  // namespace vesker
