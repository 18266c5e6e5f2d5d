// The stored form of a record: compact JSON, all six keys in declaration order.
#pragma once

#include <string>

#include "core/codecs/object_record.h"

namespace vesker {

void append_raw_object_record(std::string& out, const RawObjectRecord& record);
std::string encode_raw_object_record(const RawObjectRecord& record);

}  // namespace vesker
