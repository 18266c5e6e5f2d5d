#include "core/codecs/record_decoder.h"

#include <cstdint>
#include <utility>

#include "core/codecs/record_json_scanner.h"

namespace vesker {

namespace {

using record_json::Fault;
using record_json::Scanner;

enum Field : std::uint8_t { kId, kType, kReferences, kValue, kSize, kSubtreeSize, kIgnored };
constexpr std::string_view kFieldNames[] = {"id", "type", "references", "value", "size", "subtree_size"};

// Consumes the rest of a key (its opening quote read) if it is `field` without escapes.
bool consume_quoted_field_name(Scanner& in, Field field) {
  switch (field) {
    case kId: return in.consume_if("id\"");
    case kType: return in.consume_if("type\"");
    case kReferences: return in.consume_if("references\"");
    case kValue: return in.consume_if("value\"");
    case kSize: return in.consume_if("size\"");
    case kSubtreeSize: return in.consume_if("subtree_size\"");
    case kIgnored: break;
  }
  return false;
}

// What each view declares; the positional form lists its fields in this order.
template <class Record>
struct View;

template <>
struct View<RawObjectRecord> {
  static constexpr bool kHasReferences = true;
  static constexpr bool kHasValue = true;
  static constexpr std::string_view kStructName = "struct RawObjectRecord";
  static constexpr std::string_view kPositionalName = "struct RawObjectRecord with 6 elements";
  static constexpr Field kPositional[] = {kId, kType, kReferences, kValue, kSize, kSubtreeSize};
  static constexpr bool declares(Field) { return true; }
};

template <>
struct View<ObjectRecordNoValue> {
  static constexpr bool kHasReferences = true;
  static constexpr bool kHasValue = false;
  static constexpr std::string_view kStructName = "struct ObjectRecordNoValue";
  static constexpr std::string_view kPositionalName = "struct ObjectRecordNoValue with 5 elements";
  static constexpr Field kPositional[] = {kId, kType, kReferences, kSize, kSubtreeSize};
  static constexpr bool declares(Field field) { return field != kValue; }
};

template <>
struct View<ObjectSummary> {
  static constexpr bool kHasReferences = false;
  static constexpr bool kHasValue = true;
  static constexpr std::string_view kStructName = "struct ObjectSummary";
  static constexpr std::string_view kPositionalName = "struct ObjectSummary with 5 elements";
  static constexpr Field kPositional[] = {kId, kType, kValue, kSize, kSubtreeSize};
  static constexpr bool declares(Field field) { return field != kReferences; }
};

Field field_of_key(std::string_view key) {
  switch (key.size()) {
    case 2:
      if (key == "id") return kId;
      break;
    case 4:
      if (key == "type") return kType;
      if (key == "size") return kSize;
      break;
    case 5:
      if (key == "value") return kValue;
      break;
    case 10:
      if (key == "references") return kReferences;
      break;
    case 12:
      if (key == "subtree_size") return kSubtreeSize;
      break;
    default:
      break;
  }
  return kIgnored;
}

// Reference lists are short; collecting them on the stack first lets the
// returned vector be allocated once at its final size.
bool read_references(Scanner& in, std::vector<std::uint64_t>& out) {
  in.skip_whitespace();
  if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingValue);
  if (in.peek() != '[') return in.fail_invalid_type("a sequence");
  in.advance();
  constexpr std::size_t kInline = 64;
  std::uint64_t inline_ids[kInline];
  std::size_t count = 0;
  for (bool first = true;; first = false) {
    in.skip_whitespace();
    if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingList);
    const char c = in.peek();
    if (c == ']') break;
    if (!first) {
      if (c != ',') return in.fail_counted(Fault::kExpectedListCommaOrEnd);
      in.advance();
      in.skip_whitespace();
      if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingValue);
      if (in.peek() == ']') return in.fail_counted(Fault::kTrailingComma);
    }
    std::uint64_t id = 0;
    if (!in.read_u64(id)) return false;
    if (count < kInline) {
      inline_ids[count++] = id;
    } else {
      if (count == kInline) {
        out.reserve(2 * kInline);
        out.assign(inline_ids, inline_ids + kInline);
        ++count;
      }
      out.push_back(id);
    }
  }
  in.advance();
  if (count <= kInline) out.assign(inline_ids, inline_ids + count);
  return true;
}

bool read_optional_string(Scanner& in, std::optional<std::string>& out) {
  in.skip_whitespace();
  if (!in.at_end() && in.peek() == 'n') {
    out.reset();
    return in.read_null();
  }
  return in.read_string(out.emplace());
}

bool read_optional_u64(Scanner& in, std::optional<std::uint64_t>& out) {
  in.skip_whitespace();
  if (!in.at_end() && in.peek() == 'n') {
    out.reset();
    return in.read_null();
  }
  return in.read_u64(out.emplace());
}

template <class Record>
bool read_field(Scanner& in, Field field, Record& record) {
  switch (field) {
    case kId:
      return in.read_u64(record.id);
    case kType:
      return in.read_string(record.type);
    case kReferences:
      if constexpr (View<Record>::kHasReferences) return read_references(in, record.references);
      break;
    case kValue:
      if constexpr (View<Record>::kHasValue) return read_optional_string(in, record.value);
      break;
    case kSize:
      return in.read_u64(record.size);
    case kSubtreeSize:
      return read_optional_u64(in, record.subtree_size);
    case kIgnored:
      break;
  }
  return in.skip_value(1);
}

// An error of the record as a whole, reported where the closing bracket leaves the input.
bool fail_record(Scanner& in, char closer, std::string description) {
  in.probe_closing(closer);
  return in.fail_here(std::move(description));
}

template <class Record>
bool read_object_members(Scanner& in, Record& record) {
  unsigned seen = 0;
  Field expected = kId;
  for (bool first = true;; first = false) {
    in.skip_whitespace();
    if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingObject);
    char c = in.peek();
    if (c == '}') break;
    if (!first) {
      if (c != ',') return in.fail_counted(Fault::kExpectedObjectCommaOrEnd);
      in.advance();
      in.skip_whitespace();
      if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingValue);
      c = in.peek();
    }
    if (c != '"') return in.fail_counted(c == '}' ? Fault::kTrailingComma : Fault::kKeyMustBeAString);
    in.advance();
    // Stored records list the keys in declaration order: try the one that comes
    // next in that order before reading the key in general.
    Field field;
    if (!consume_quoted_field_name(in, expected)) {
      std::string_view key;
      if (!in.read_key(key)) return false;
      field = field_of_key(key);
    } else {
      field = expected;
    }
    if (field < kIgnored) expected = static_cast<Field>((field + 1) % kIgnored);
    if (!View<Record>::declares(field)) field = kIgnored;
    if (field != kIgnored) {
      const unsigned bit = 1u << field;
      if ((seen & bit) != 0) {
        return fail_record(in, '}', "duplicate field `" + std::string(kFieldNames[field]) + "`");
      }
      seen |= bit;
    }
    in.skip_whitespace();
    if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingObject);
    if (in.peek() != ':') return in.fail_counted(Fault::kExpectedColon);
    in.advance();
    if (!read_field(in, field, record)) return false;
  }
  in.advance();
  for (const Field required : {kId, kType, kReferences, kSize}) {
    if (required == kReferences && !View<Record>::kHasReferences) continue;
    if ((seen & (1u << required)) == 0) {
      return in.fail_here("missing field `" + std::string(kFieldNames[required]) + "`");
    }
  }
  return true;
}

template <class Record>
bool read_positional(Scanner& in, Record& record) {
  constexpr auto& fields = View<Record>::kPositional;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    in.skip_whitespace();
    if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingList);
    const char c = in.peek();
    if (c == ']') {
      return fail_record(in, ']',
                         "invalid length " + std::to_string(i) + ", expected " + std::string(View<Record>::kPositionalName));
    }
    if (i > 0) {
      if (c != ',') return in.fail_counted(Fault::kExpectedListCommaOrEnd);
      in.advance();
      in.skip_whitespace();
      if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingValue);
      if (in.peek() == ']') return in.fail_counted(Fault::kTrailingComma);
    }
    if (!read_field(in, fields[i], record)) return false;
  }
  in.skip_whitespace();
  if (in.at_end()) return in.fail_counted(Fault::kEofWhileParsingList);
  const char c = in.peek();
  if (c == ']') {
    in.advance();
    return true;
  }
  if (c == ',') {
    in.advance();
    in.skip_whitespace();
    if (!in.at_end() && in.peek() == ']') return in.fail_counted(Fault::kTrailingComma);
  }
  return in.fail_counted(Fault::kTrailingCharacters);
}

template <class Record>
std::expected<Record, RecordFault> decode(std::string_view json) {
  Scanner in(json);
  Record record;
  in.skip_whitespace();
  bool ok;
  if (in.at_end()) {
    ok = in.fail_counted(Fault::kEofWhileParsingValue);
  } else if (in.peek() == '{') {
    in.advance();
    ok = read_object_members(in, record);
  } else if (in.peek() == '[') {
    in.advance();
    ok = read_positional(in, record);
  } else {
    ok = in.fail_invalid_type(View<Record>::kStructName);
  }
  if (ok) {
    in.skip_whitespace();
    if (!in.at_end()) ok = in.fail_counted(Fault::kTrailingCharacters);
  }
  if (!ok) [[unlikely]]
    return std::unexpected(in.fault());
  return record;
}

// The fault as its complete message.
template <class Record>
std::expected<Record, std::string> with_message(std::expected<Record, RecordFault>&& decoded) {
  if (!decoded) return std::unexpected(decoded.error().message());
  return std::move(*decoded);
}

}  // namespace

std::expected<RawObjectRecord, std::string> decode_raw_object_record(std::string_view json) {
  return with_message(decode<RawObjectRecord>(json));
}

std::expected<ObjectRecordNoValue, std::string> decode_object_record_no_value(std::string_view json) {
  return with_message(decode<ObjectRecordNoValue>(json));
}

std::expected<ObjectSummary, std::string> decode_object_summary(std::string_view json) {
  return with_message(decode<ObjectSummary>(json));
}

std::expected<RawObjectRecord, RecordFault> decode_dump_line(std::string_view json) {
  return decode<RawObjectRecord>(json);
}

}  // namespace vesker
