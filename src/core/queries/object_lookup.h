// One object with the summaries of what it refers to and what refers to it, and the summary
// reads that every query shares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/common/error.h"
#include "core/store/store.h"

namespace vesker {

struct ObjectRecord {
  std::uint64_t id = 0;
  std::string type;
  std::vector<ObjectSummary> references;
  std::vector<ObjectSummary> referrers;
  std::optional<std::string> value;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;
};

// The record stored for `id`, decoded by `Decode` (one of the record decoders), or nothing when
// `id` has no record; an undecodable record is a decoding error.
template <auto Decode>
auto read_stored_record(const Store& store, const Transaction& txn, std::uint64_t id)
    -> Result<std::optional<typename decltype(Decode(std::string_view()))::value_type>> {
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, IdBytes(id).view()));
  if (!stored) return std::nullopt;
  auto record = Decode(*stored);
  if (!record) return fail(Error::decoding(record.error()));
  return std::move(*record);
}

// What a search does with a reference to an id without a record: the explorer's searches fail
// on it; the tolerant ones pass it by, as no edge.
enum class MissingRecords : bool { kFail, kSkip };

// The summary of a stored object; a missing record is a decoding error.
Result<ObjectSummary> get_summary(const Store& store, const Transaction& txn, std::uint64_t id);
Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Store& store, const Transaction& txn,
                                                         std::span<const std::uint64_t> ids);

// The object, or nothing when `id` has no record.
Result<std::optional<ObjectRecord>> get_object(const Store& store, std::uint64_t id);

}  // namespace vesker
