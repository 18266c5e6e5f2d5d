// What the vectors leave out: the escaping of every ASCII byte, and reference
// lists longer than the decoder's inline buffer.
#include <string>

#include <gtest/gtest.h>

#include "core/codecs/record_decoder.h"
#include "core/codecs/record_encoder.h"

namespace vesker {
namespace {

TEST(RecordEncoder, WritesTheCompactFormWithAllSixKeys) {
  const RawObjectRecord record{7, "A", {1, 2}, std::nullopt, 16, std::nullopt};
  EXPECT_EQ(encode_raw_object_record(record),
            R"({"id":7,"type":"A","references":[1,2],"value":null,"size":16,"subtree_size":null})");
  const RawObjectRecord full{18446744073709551615ULL, "builtins.str", {}, "x", 0, 42};
  std::string out = "prefix";
  append_raw_object_record(out, full);
  EXPECT_EQ(out, R"(prefix{"id":18446744073709551615,"type":"builtins.str","references":[],"value":"x","size":0,"subtree_size":42})");
}

TEST(RecordEncoder, EscapesOnlyQuoteBackslashAndControls) {
  std::string every_byte;
  for (int c = 0; c < 0x80; ++c) every_byte += static_cast<char>(c);
  every_byte += "\xC3\xA9\xE2\x80\xA8";  // é, U+2028
  const RawObjectRecord record{1, "T", {}, every_byte, 1, std::nullopt};
  const std::string encoded = encode_raw_object_record(record);
  const std::string expected_value =
      R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
      R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f)"
      R"( !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~)"
      "\x7F\xC3\xA9\xE2\x80\xA8\"";
  EXPECT_NE(encoded.find(",\"value\":" + expected_value + ","), std::string::npos) << encoded;
  const auto decoded = decode_raw_object_record(encoded);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, record);
}

TEST(RecordDecoder, LongReferenceListsSurviveEveryView) {
  for (std::size_t count : {63, 64, 65, 1000}) {
    RawObjectRecord record{140000000000000ULL, "builtins.dict", {}, "v", 232, 9};
    for (std::size_t i = 0; i < count; ++i) record.references.push_back(140000000000000ULL + 16 * i);
    const std::string encoded = encode_raw_object_record(record);
    const auto raw = decode_raw_object_record(encoded);
    ASSERT_TRUE(raw) << raw.error();
    EXPECT_EQ(*raw, record);
    const auto no_value = decode_object_record_no_value(encoded);
    ASSERT_TRUE(no_value) << no_value.error();
    EXPECT_EQ(no_value->references, record.references);
    const auto summary = decode_object_summary(encoded);
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_EQ(summary->value, record.value);
  }
}

}  // namespace
}  // namespace vesker
