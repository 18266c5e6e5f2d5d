// Decodes arbitrary bytes with every record view; a record that decodes in full
// must encode to text that decodes to the same record and encodes to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "record round trip broken: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Every message ends in its position.
void check_message(const std::string& message) {
  if (message.find(" at line ") == std::string::npos) fail("message without position", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const auto no_value = vesker::decode_object_record_no_value(input);
  if (!no_value) check_message(no_value.error());
  const auto summary = vesker::decode_object_summary(input);
  if (!summary) check_message(summary.error());
  const auto raw = vesker::decode_raw_object_record(input);
  if (!raw) {
    check_message(raw.error());
    return 0;
  }
  // The views read the same fields as the full record.
  if (no_value && (no_value->id != raw->id || no_value->type != raw->type || no_value->references != raw->references ||
                   no_value->size != raw->size || no_value->subtree_size != raw->subtree_size)) {
    fail("ObjectRecordNoValue disagrees with RawObjectRecord", input);
  }
  if (summary && (summary->id != raw->id || summary->type != raw->type || summary->value != raw->value ||
                  summary->size != raw->size || summary->subtree_size != raw->subtree_size)) {
    fail("ObjectSummary disagrees with RawObjectRecord", input);
  }

  const std::string encoded = vesker::encode_raw_object_record(*raw);
  const auto again = vesker::decode_raw_object_record(encoded);
  if (!again) fail("encoded record does not decode", encoded);
  if (!(*again == *raw)) fail("encoded record decodes differently", encoded);
  if (vesker::encode_raw_object_record(*again) != encoded) fail("re-encoding differs", encoded);
  // The stored text must also serve both views.
  const auto stored_no_value = vesker::decode_object_record_no_value(encoded);
  const auto stored_summary = vesker::decode_object_summary(encoded);
  if (!stored_no_value || !stored_summary) fail("encoded record does not decode as a view", encoded);
  return 0;
}
