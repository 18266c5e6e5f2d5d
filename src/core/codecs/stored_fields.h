// Fields read straight from a stored record, for scans over many records (a comparison reads
// every record of two or more stores) that skip the general decoder and its allocations. The
// store writes every record in one form (see the record encoder): compact JSON, the keys in
// declaration order, integers only in the reference list, so the type is near the start and the
// sizes end it. These readers give nothing for any other text (texts with escapes included);
// callers then decode the record whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/codecs/object_record.h"

namespace vesker {

// The fields of a record but its references, as views into the stored bytes.
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

struct StoredSizes {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;
};

// `..,"size":N,"subtree_size":M}` or `..,"subtree_size":null}`.
std::optional<StoredSizes> stored_sizes(std::string_view record);

// `{"id":N,"type":"T",..` when T has no escapes; a view into `record`.
std::optional<std::string_view> stored_type(std::string_view record);

// The whole record but its references.
std::optional<RecordView> read_stored_record(std::string_view stored);

}  // namespace vesker
