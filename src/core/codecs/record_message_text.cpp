#include "core/codecs/record_message_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "core/codecs/record_quote_ranges.h"

namespace vesker::record_json {

void append_float_for_message(std::string& out, double value) {
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  // Scientific form gives the shortest digits d1.d2...dn and the exponent of d1.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  digits += text[0];
  if (e > 1) digits.append(text.substr(2, e - 2));
  int exponent10 = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent10);
  // value = 0.d1...dn * 10^k
  const int k = exponent10 + 1;
  const int n = static_cast<int>(digits.size());
  if (n <= k && k <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k - n), '0');
    out += ".0";
  } else if (0 < k && k <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(k));
    out += '.';
    out.append(digits, static_cast<std::size_t>(k));
  } else if (-5 < k && k <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-k), '0');
    out += digits;
  } else {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    char exponent_text[8];
    const auto end = std::to_chars(exponent_text, exponent_text + sizeof exponent_text, k - 1).ptr;
    out.append(exponent_text, end);
  }
}

namespace {

bool escaped_in_message(std::uint32_t code_point) {
  const auto ranges = message_escaped_ranges();
  const auto it = std::upper_bound(ranges.begin(), ranges.end(), code_point,
                                   [](std::uint32_t cp, const CodePointRange& r) { return cp < r.first; });
  return it != ranges.begin() && code_point <= std::prev(it)->last;
}

// The code point of the valid UTF-8 sequence at `at`, and its length.
std::uint32_t decode_code_point(std::string_view text, std::size_t at, std::size_t& length) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[at + i])); };
  const std::uint32_t lead = byte(0);
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if (lead < 0xE0) {
    length = 2;
    return ((lead & 0x1F) << 6) | (byte(1) & 0x3F);
  }
  if (lead < 0xF0) {
    length = 3;
    return ((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
  }
  length = 4;
  return ((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
}

}  // namespace

void append_quoted_for_message(std::string& out, std::string_view utf8) {
  out += '"';
  std::size_t at = 0;
  while (at < utf8.size()) {
    std::size_t length = 1;
    const std::uint32_t cp = decode_code_point(utf8, at, length);
    switch (cp) {
      case 0: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (escaped_in_message(cp)) {
          char hex[8];
          const auto end = std::to_chars(hex, hex + sizeof hex, cp, 16).ptr;
          out += "\\u{";
          out.append(hex, end);
          out += '}';
        } else {
          out.append(utf8, at, length);
        }
    }
    at += length;
  }
  out += '"';
}

}  // namespace vesker::record_json
