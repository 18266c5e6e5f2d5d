// The fields of a stored record that the comparisons read, as views into the stored bytes.
//
// A comparison reads every record of two or more stores, so it skips the general decoder (and
// its allocations) for records in the exact shape the store writes them: fields in their fixed
// order, no whitespace, integers only in the reference list, texts without escapes. Anything
// else is left to the general decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/codecs/object_record.h"

namespace vesker {

struct RecordView {
  std::uint64_t id = 0;
  std::string_view type;
  std::optional<std::string_view> value;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;

  // Views into `summary`, which must outlive them.
  static RecordView of(const ObjectSummary& summary) {
    return {summary.id, summary.type, summary.value ? std::optional<std::string_view>(*summary.value) : std::nullopt,
            summary.size, summary.subtree_size};
  }
};

// The record, when `stored` has the store's own shape; nothing otherwise.
std::optional<RecordView> read_stored_record(std::string_view stored);

// Whether two stored records agree in everything but their subtree sizes (which change with what
// lies below an object), without reading them: then their ids, types, references, values and
// sizes are the same.
bool same_but_subtree_size(std::string_view stored, std::string_view other);

}  // namespace vesker
