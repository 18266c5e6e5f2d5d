// Decoding of a stored JSON object record (also the import's line format) into
// the full record or one of its two views. Each failure is the complete message,
// the description followed by " at line L column C".
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/codecs/object_record.h"

namespace vesker {

std::expected<RawObjectRecord, std::string> decode_raw_object_record(std::string_view json);
std::expected<ObjectRecordNoValue, std::string> decode_object_record_no_value(std::string_view json);
std::expected<ObjectSummary, std::string> decode_object_summary(std::string_view json);

}  // namespace vesker
