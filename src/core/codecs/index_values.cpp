#include "core/codecs/index_values.h"

#include <string>

#include "core/common/byte_order.h"
#include "core/common/utf8.h"

namespace vesker {

Result<Type> decode_type(std::string_view bytes) {
  if (auto invalid = find_invalid_utf8(bytes)) {
    return fail(Error::decoding("invalid utf-8 sequence of " + std::to_string(invalid->length) +
                                            " bytes from index " + std::to_string(invalid->offset)));
  }
  return Type::named(std::string(bytes));
}

SizeIndexEntry::Encoded SizeIndexEntry::encode() const noexcept {
  Encoded encoded;
  store_u64_be(encoded.bytes, ~size);
  store_u64_be(encoded.bytes + 8, id);
  return encoded;
}

Result<SizeIndexEntry> SizeIndexEntry::decode(std::string_view bytes) {
  if (bytes.size() != kEncodedSize) {
    return fail(Error::decoding(
        "Invalid byte length for SizeIndexEntry: expected 16, got " + std::to_string(bytes.size())));
  }
  return SizeIndexEntry{~load_u64_be(bytes.data()), load_u64_be(bytes.data() + 8)};
}

TypeSummary::Encoded TypeSummary::encode() const noexcept {
  Encoded encoded;
  store_u64_le(encoded.bytes, count);
  store_u64_le(encoded.bytes + 8, total_size);
  return encoded;
}

Result<TypeSummary> TypeSummary::decode(std::string_view bytes) {
  if (bytes.size() != kEncodedSize) {
    return fail(Error::decoding(
        "Invalid byte length for TypeSummary: expected 16, got " + std::to_string(bytes.size())));
  }
  return TypeSummary{load_u64_le(bytes.data()), load_u64_le(bytes.data() + 8)};
}

Result<std::uint64_t> decode_id(std::string_view bytes) {
  if (bytes.size() != 8) {
    return fail(Error::decoding("expected an 8-byte id, got " + std::to_string(bytes.size()) + " bytes"));
  }
  return load_u64_le(bytes.data());
}

}  // namespace vesker
