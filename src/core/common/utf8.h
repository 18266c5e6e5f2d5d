// UTF-8 validation of stored and decoded text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vesker {

struct InvalidUtf8 {
  std::size_t offset;  // where the invalid sequence starts
  std::size_t length;  // how many bytes of it were examined before it failed
};

// Length of the valid UTF-8 sequence starting at `text[at]` (1 to 4), or the number of bytes
// examined (0 at the end of the text) before it proved invalid, negated.
inline int utf8_sequence_length(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  int length;
  std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (at + i >= text.size()) return -i;
    const std::uint8_t b = byte(at + i);
    if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return -i;
  }
  return length;
}

inline std::optional<InvalidUtf8> find_invalid_utf8(std::string_view text) noexcept {
  std::size_t at = 0;
  while (at < text.size()) {
    if (static_cast<std::uint8_t>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    const int length = utf8_sequence_length(text, at);
    if (length < 0) return InvalidUtf8{at, static_cast<std::size_t>(-length)};
    at += static_cast<std::size_t>(length);
  }
  return std::nullopt;
}

}  // namespace vesker
