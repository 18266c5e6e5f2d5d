// Keys and values of the type-keyed databases.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/common/error.h"

namespace vesker {

// The key of the four type-keyed databases: one type name, or the aggregate over all types.
class Type {
 public:
  static constexpr std::string_view kAllTypesText = "All Types";

  static Type all_types() { return Type(std::string(kAllTypesText)); }
  // The text "All Types" selects the all-types key: the two share one encoding.
  static Type named(std::string name) { return Type(std::move(name)); }

  // The key bytes; also the text Python sees.
  std::string_view bytes() const noexcept { return bytes_; }

  bool operator==(const Type&) const = default;

 private:
  explicit Type(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string bytes_;
};

// Decodes a stored key: valid UTF-8, or the cause of the failure.
Result<Type> decode_type(std::string_view bytes);

// (size, id) ordered by LMDB's byte-wise duplicate comparison as size descending, then id ascending.
struct SizeIndexEntry {
  std::uint64_t size = 0;
  std::uint64_t id = 0;

  static constexpr std::size_t kEncodedSize = 16;
  struct Encoded {
    char bytes[kEncodedSize];
    std::string_view view() const noexcept { return {bytes, kEncodedSize}; }
  };
  Encoded encode() const noexcept;
  static Result<SizeIndexEntry> decode(std::string_view bytes);

  bool operator==(const SizeIndexEntry&) const = default;
};

struct TypeSummary {
  std::uint64_t count = 0;
  std::uint64_t total_size = 0;

  static constexpr std::size_t kEncodedSize = 16;
  struct Encoded {
    char bytes[kEncodedSize];
    std::string_view view() const noexcept { return {bytes, kEncodedSize}; }
  };
  Encoded encode() const noexcept;
  static Result<TypeSummary> decode(std::string_view bytes);

  bool operator==(const TypeSummary&) const = default;
};

// An 8-byte little-endian id read back from a key or duplicate value.
Result<std::uint64_t> decode_id(std::string_view bytes);

}  // namespace vesker
