#include <string>

#include <gtest/gtest.h>

#include "core/codecs/index_values.h"

namespace vesker {
namespace {

std::string bytes(std::initializer_list<unsigned char> list) { return std::string(list.begin(), list.end()); }

TEST(SizeIndexEntry, StoresComplementedSizeThenIdBigEndian) {
  EXPECT_EQ((SizeIndexEntry{5, 1}.encode().view()),
            bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ((SizeIndexEntry{0, 0}.encode().view()), std::string(8, '\xFF') + std::string(8, '\0'));
  const SizeIndexEntry entry{0x0102030405060708ULL, 0x1112131415161718ULL};
  EXPECT_EQ(SizeIndexEntry::decode(entry.encode().view()).value(), entry);
}

TEST(SizeIndexEntry, ByteOrderIsDescendingSizeThenAscendingId) {
  const auto key = [](std::uint64_t size, std::uint64_t id) { return std::string(SizeIndexEntry{size, id}.encode().view()); };
  EXPECT_LT(key(300, 9), key(2, 1));
  EXPECT_LT(key(2, 1), key(2, 256));
  EXPECT_LT(key(UINT64_MAX, UINT64_MAX), key(0, 0));
}

TEST(SizeIndexEntry, RejectsAnyOtherLength) {
  for (std::size_t length : {0, 15, 17}) {
    const auto decoded = SizeIndexEntry::decode(std::string(length, 'x'));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().text(),
              "error while decoding: Invalid byte length for SizeIndexEntry: expected 16, got " + std::to_string(length));
  }
}

TEST(TypeSummary, StoresCountThenTotalSizeLittleEndian) {
  EXPECT_EQ((TypeSummary{2, 48}.encode().view()), bytes({2, 0, 0, 0, 0, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0}));
  const TypeSummary summary{UINT64_MAX, 0x0102030405060708ULL};
  EXPECT_EQ(TypeSummary::decode(summary.encode().view()).value(), summary);
  const auto short_value = TypeSummary::decode("0123456789");
  ASSERT_FALSE(short_value);
  EXPECT_EQ(short_value.error().text(), "error while decoding: Invalid byte length for TypeSummary: expected 16, got 10");
}

TEST(TypeKey, AllTypesSharesTheBytesOfItsText) {
  EXPECT_EQ(Type::all_types().bytes(), "All Types");
  EXPECT_EQ(Type::named("All Types"), Type::all_types());
  EXPECT_EQ(decode_type("All Types").value(), Type::all_types());
  EXPECT_EQ(decode_type("builtins.str").value().bytes(), "builtins.str");
  EXPECT_FALSE(decode_type("bad\xC0\x80"));
}

TEST(IdBytes, RequiresExactlyEightBytes) {
  EXPECT_EQ(decode_id(std::string("\x01\x02\0\0\0\0\0\0", 8)).value(), 0x0201u);
  EXPECT_FALSE(decode_id("1234567"));
  EXPECT_FALSE(decode_id("123456789"));
}

}  // namespace
}  // namespace vesker
