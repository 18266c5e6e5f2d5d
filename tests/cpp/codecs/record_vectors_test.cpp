// Every reference vector, decoded as each of the three views and, where the
// full record decodes, re-encoded.
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "codecs/test_base64.h"
#include "codecs/test_json_value.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"
#include "core/codecs/stored_fields.h"

namespace vesker {
namespace {

using test::JsonValue;

std::optional<std::string> optional_text(const JsonValue& value) {
  if (value.is_null()) return std::nullopt;
  return value.as_string();
}

std::optional<std::uint64_t> optional_u64(const JsonValue& value) {
  if (value.is_null()) return std::nullopt;
  return value.as_u64();
}

std::vector<std::uint64_t> ids(const JsonValue& value) {
  std::vector<std::uint64_t> out;
  for (const JsonValue& id : value.as_array()) out.push_back(id.as_u64());
  return out;
}

RawObjectRecord expected_raw(const JsonValue& r) {
  return {r["id"].as_u64(), r["type"].as_string(), ids(r["references"]), optional_text(r["value"]),
          r["size"].as_u64(), optional_u64(r["subtree_size"])};
}
ObjectRecordNoValue expected_no_value(const JsonValue& r) {
  return {r["id"].as_u64(), r["type"].as_string(), ids(r["references"]), r["size"].as_u64(),
          optional_u64(r["subtree_size"])};
}
ObjectSummary expected_summary(const JsonValue& r) {
  return {r["id"].as_u64(), r["type"].as_string(), optional_text(r["value"]), r["size"].as_u64(),
          optional_u64(r["subtree_size"])};
}

// Compares one view's outcome with the expectation; returns whether they agree.
template <class Record>
bool check_view(const std::string& name, const char* view, const std::expected<Record, std::string>& actual,
                const JsonValue& expected, Record (*expected_record)(const JsonValue&)) {
  if (expected["ok"].as_bool()) {
    if (!actual) {
      ADD_FAILURE() << name << " [" << view << "]: expected success, got: " << actual.error();
      return false;
    }
    if (!(*actual == expected_record(expected["record"]))) {
      ADD_FAILURE() << name << " [" << view << "]: decoded fields differ";
      return false;
    }
    return true;
  }
  const std::string& message = expected["error"].as_string();
  if (actual) {
    ADD_FAILURE() << name << " [" << view << "]: expected error \"" << message << "\", decoding succeeded";
    return false;
  }
  if (actual.error() != message) {
    ADD_FAILURE() << name << " [" << view << "]:\n  expected: " << message << "\n  actual:   " << actual.error();
    return false;
  }
  return true;
}

TEST(RecordVectors, EveryCaseDecodesAsRecordedForAllViewsAndReencodes) {
  std::ifstream file(VESKER_TEST_DATA_DIR "/json-record-vectors.jsonl", std::ios::binary);
  ASSERT_TRUE(file) << "cannot open the vector file";
  std::string line;
  int cases = 0, failures = 0;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    const JsonValue vector = test::parse_test_json(line);
    const std::string& name = vector["name"].as_string();
    const std::string input = test::decode_base64(vector["input_b64"].as_string());
    ++cases;
    bool ok = true;

    const auto raw = decode_raw_object_record(input);
    ok &= check_view(name, "raw", raw, vector["raw"], expected_raw);
    if (raw && vector["raw"]["ok"].as_bool()) {
      const std::string encoded = encode_raw_object_record(*raw);
      if (encoded != vector["raw"]["encoded"].as_string()) {
        ADD_FAILURE() << name << " [encode]:\n  expected: " << vector["raw"]["encoded"].as_string()
                      << "\n  actual:   " << encoded;
        ok = false;
      }
    }
    ok &= check_view(name, "no_value", decode_object_record_no_value(input), vector["no_value"], expected_no_value);
    ok &= check_view(name, "summary", decode_object_summary(input), vector["summary"], expected_summary);
    failures += ok ? 0 : 1;
  }
  EXPECT_GT(cases, 3000);
  EXPECT_EQ(failures, 0) << "of " << cases << " cases";
}

// The readers that skip the decoder trust the store's own form (valid UTF-8, control characters
// escaped): on any input they agree with the decoder wherever both answer, and on every record
// the encoder writes they answer, unless one of its texts needs an escape or a number has twenty
// digits, exactly as the decoder does.
TEST(RecordVectors, StoredFieldReadersAgreeWithTheDecoder) {
  std::ifstream file(VESKER_TEST_DATA_DIR "/json-record-vectors.jsonl", std::ios::binary);
  ASSERT_TRUE(file) << "cannot open the vector file";
  std::string line;
  int encoded_read = 0;
  const auto agree = [](const std::string& name, std::string_view input) {
    const auto summary = decode_object_summary(input);
    if (!summary) return;
    if (const auto view = read_stored_record(input)) {
      EXPECT_TRUE(view->id == summary->id && view->type == summary->type && view->size == summary->size &&
                  view->subtree_size == summary->subtree_size && view->value == summary->value)
          << name;
    }
    if (const auto type = stored_type(input)) {
      EXPECT_EQ(*type, summary->type) << name;
    }
    if (const auto sizes = stored_sizes(input)) {
      EXPECT_TRUE(sizes->size == summary->size && sizes->subtree_size == summary->subtree_size) << name;
    }
  };
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    const JsonValue vector = test::parse_test_json(line);
    const std::string& name = vector["name"].as_string();
    const std::string input = test::decode_base64(vector["input_b64"].as_string());
    agree(name, input);
    const auto raw = decode_raw_object_record(input);
    if (!raw) continue;
    const std::string encoded = encode_raw_object_record(*raw);
    agree(name + " [encoded]", encoded);
    constexpr std::uint64_t kTwentyDigits = 10'000'000'000'000'000'000ULL;
    const bool plain = encoded.find('\\') == std::string::npos && raw->id < kTwentyDigits &&
                       raw->size < kTwentyDigits && raw->subtree_size.value_or(0) < kTwentyDigits;
    if (plain) {
      EXPECT_TRUE(read_stored_record(encoded).has_value()) << name;
    }
    encoded_read += plain ? 1 : 0;
  }
  EXPECT_GT(encoded_read, 100);
}

}  // namespace
}  // namespace vesker
