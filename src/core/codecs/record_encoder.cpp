#include "core/codecs/record_encoder.h"

#include <charconv>
#include <cstdint>

namespace vesker {

namespace {

void append_u64(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// `"` and `\` and the controls are escaped; every other byte, the solidus, DEL
// and all of non-ASCII included, is written as it is.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  for (const char* p = run; p != end; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x20 && byte != '"' && byte != '\\') [[likely]]
      continue;
    out.append(run, p);
    run = p + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        constexpr char kHex[] = "0123456789abcdef";
        const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(run, end);
  out += '"';
}

}  // namespace

void append_raw_object_record(std::string& out, const RawObjectRecord& record) {
  // Keys and punctuation, the integers at their widest, the texts unescaped.
  out.reserve(out.size() + 80 + 21 * (record.references.size() + 3) + record.type.size() +
              (record.value ? record.value->size() : 0));
  out += "{\"id\":";
  append_u64(out, record.id);
  out += ",\"type\":";
  append_json_string(out, record.type);
  out += ",\"references\":[";
  for (std::size_t i = 0; i < record.references.size(); ++i) {
    if (i != 0) out += ',';
    append_u64(out, record.references[i]);
  }
  out += "],\"value\":";
  if (record.value) {
    append_json_string(out, *record.value);
  } else {
    out += "null";
  }
  out += ",\"size\":";
  append_u64(out, record.size);
  out += ",\"subtree_size\":";
  if (record.subtree_size) {
    append_u64(out, *record.subtree_size);
  } else {
    out += "null";
  }
  out += '}';
}

std::string encode_raw_object_record(const RawObjectRecord& record) {
  std::string out;
  append_raw_object_record(out, record);
  return out;
}

}  // namespace vesker
