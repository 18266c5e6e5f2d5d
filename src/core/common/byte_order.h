// Fixed-width integer encodings used by every stored key and value.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesker {

static_assert(std::endian::native == std::endian::little, "the store layout assumes a little-endian host");

inline void store_u64_le(char* out, std::uint64_t value) noexcept { std::memcpy(out, &value, 8); }
inline void store_u64_be(char* out, std::uint64_t value) noexcept { store_u64_le(out, std::byteswap(value)); }

inline std::uint64_t load_u64_le(const char* in) noexcept {
  std::uint64_t value;
  std::memcpy(&value, in, 8);
  return value;
}
inline std::uint64_t load_u64_be(const char* in) noexcept { return std::byteswap(load_u64_le(in)); }

// An object id as an 8-byte key or duplicate value.
struct IdBytes {
  char bytes[8];
  explicit IdBytes(std::uint64_t id) noexcept { store_u64_le(bytes, id); }
  std::string_view view() const noexcept { return {bytes, sizeof bytes}; }
};

}  // namespace vesker
