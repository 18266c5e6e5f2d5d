#include "core/codecs/record_encoder.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesker {

namespace {

constexpr std::size_t kU64Digits = 20;

// The writers put their text at `p` and return the end of it; the caller has
// made room for the widest text they can write.

char* put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

char* put_u64(char* p, std::uint64_t value) {
  return std::to_chars(p, p + kU64Digits, value).ptr;
}

// `"` and `\` and the controls are escaped; every other byte, the solidus, DEL
// and all of non-ASCII included, is written as it is.
char* put_json_string(char* p, std::string_view text) {
  *p++ = '"';
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  for (const char* q = run; q != end; ++q) {
    const auto byte = static_cast<unsigned char>(*q);
    if (byte >= 0x20 && byte != '"' && byte != '\\') [[likely]]
      continue;
    p = put(p, {run, q});
    run = q + 1;
    switch (byte) {
      case '"': p = put(p, "\\\""); break;
      case '\\': p = put(p, "\\\\"); break;
      case '\b': p = put(p, "\\b"); break;
      case '\f': p = put(p, "\\f"); break;
      case '\n': p = put(p, "\\n"); break;
      case '\r': p = put(p, "\\r"); break;
      case '\t': p = put(p, "\\t"); break;
      default: {
        constexpr char kHex[] = "0123456789abcdef";
        const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        p = put(p, {escape, sizeof escape});
      }
    }
  }
  p = put(p, {run, end});
  *p++ = '"';
  return p;
}

// A control byte becomes six: \u00XX.
std::size_t widest_json_string(std::string_view text) { return 2 + 6 * text.size(); }

}  // namespace

void append_raw_object_record(std::string& out, const RawObjectRecord& record) {
  // Written in place: appending piece by piece costs more than the record's text.
  const std::size_t keys = 80;  // the keys, the punctuation and two nulls
  const std::size_t widest = keys + kU64Digits * 3 + (kU64Digits + 1) * record.references.size() +
                             widest_json_string(record.type) +
                             (record.value ? widest_json_string(*record.value) : 0);
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + widest, [&](char* const data, std::size_t) {
    char* p = put(data + start, "{\"id\":");
    p = put_u64(p, record.id);
    p = put(p, ",\"type\":");
    p = put_json_string(p, record.type);
    p = put(p, ",\"references\":[");
    for (std::size_t i = 0; i < record.references.size(); ++i) {
      if (i != 0) *p++ = ',';
      p = put_u64(p, record.references[i]);
    }
    p = put(p, "],\"value\":");
    p = record.value ? put_json_string(p, *record.value) : put(p, "null");
    p = put(p, ",\"size\":");
    p = put_u64(p, record.size);
    p = put(p, ",\"subtree_size\":");
    p = record.subtree_size ? put_u64(p, *record.subtree_size) : put(p, "null");
    *p++ = '}';
    return static_cast<std::size_t>(p - data);
  });
}

std::string encode_raw_object_record(const RawObjectRecord& record) {
  std::string out;
  append_raw_object_record(out, record);
  return out;
}

}  // namespace vesker
