// Standard base64 (with padding) for the inputs of the test vectors.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vesker::test {

inline std::string decode_base64(std::string_view text) {
  const auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) throw std::runtime_error("base64 length not a multiple of 4");
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int values[4];
    int padding = 0;
    for (int j = 0; j < 4; ++j) {
      const char c = text[i + static_cast<std::size_t>(j)];
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        values[j] = 0;
        ++padding;
      } else if (padding != 0 || (values[j] = sextet(c)) < 0) {
        throw std::runtime_error("bad base64");
      }
    }
    const unsigned group = (static_cast<unsigned>(values[0]) << 18) | (static_cast<unsigned>(values[1]) << 12) |
                           (static_cast<unsigned>(values[2]) << 6) | static_cast<unsigned>(values[3]);
    out += static_cast<char>(group >> 16);
    if (padding < 2) out += static_cast<char>((group >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(group & 0xFF);
  }
  return out;
}

}  // namespace vesker::test
