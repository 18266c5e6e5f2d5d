// Decoding of a stored JSON object record (also the import's line format) into
// the full record or one of its two views. Each failure is the complete message,
// the description followed by " at line L column C".
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "core/codecs/object_record.h"

namespace vesker {

// Why and where a record does not decode.
struct RecordFault {
  std::string description;
  std::size_t line = 0;
  std::size_t column = 0;

  // The description followed by " at line L column C".
  std::string message() const;
};

std::expected<RawObjectRecord, std::string> decode_raw_object_record(std::string_view json);
std::expected<ObjectRecordNoValue, std::string> decode_object_record_no_value(std::string_view json);
std::expected<ObjectSummary, std::string> decode_object_summary(std::string_view json);
// A line of a dump, whose fault its importer reports with the position.
std::expected<RawObjectRecord, RecordFault> decode_dump_line(std::string_view json);

}  // namespace vesker
