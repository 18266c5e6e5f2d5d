// Reading a store whose dump was not whole: ids that repeat, references to ids without a
// record. The explorer's own lookups fail on the first such id (callers rely on that); these
// show what is there and mark what is not.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

// One neighbour of an object. A missing one has no record (a dangling reference, or a
// referrer row whose record is gone); a stale referrer has a record that no longer refers to
// the object: a later record with the same id replaced the one that did.
struct TolerantSummary {
  enum class State : std::uint8_t { kPresent, kMissing, kStale };
  std::uint64_t id = 0;
  State state = State::kPresent;
  std::optional<ObjectSummary> summary;  // absent when missing
};

struct TolerantObject {
  ObjectSummary summary;
  std::vector<TolerantSummary> references;
  std::vector<TolerantSummary> referrers;
};

// One neighbour as a row: `id` referred to (missing without a record), or `id` listed as a
// referrer of `target` (stale when its record no longer refers to it).
Result<TolerantSummary> tolerant_reference(const Store& store, const Transaction& txn, std::uint64_t id);
Result<TolerantSummary> tolerant_referrer(const Store& store, const Transaction& txn, std::uint64_t id,
                                          std::uint64_t target);

// The object, or nothing when `id` has no record.
Result<std::optional<TolerantObject>> get_object_tolerant(const Store& store, std::uint64_t id);

// What a store holds that no complete dump would leave: the number of records, and the number
// of references to ids without a record.
struct ReferenceCheck {
  std::uint64_t records = 0;
  std::uint64_t dangling_references = 0;
};
Result<ReferenceCheck> check_references(const Store& store);
// The same, as `txn` sees the store (a write transaction: with what it wrote).
Result<ReferenceCheck> check_references(const Store& store, const Transaction& txn);

}  // namespace vesker
