// The byte-level reader behind the record decoder: one pass over the caller's
// buffer, no copies except for the strings that are handed out, every fault
// reported with the offset the decoder's messages require.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/codecs/record_decoder.h"
#include "core/common/utf8.h"

namespace vesker::record_json {

enum class Fault : std::uint8_t {
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedIdent,
  kExpectedValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacter,
  kKeyMustBeAString,
  kLoneLeadingSurrogate,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimitExceeded,
};

// A number token as the decoder classifies it.
struct Number {
  enum class Kind : std::uint8_t { kUnsigned, kNegative, kFloat };
  Kind kind = Kind::kUnsigned;
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  double float_value = 0.0;
};

// Brackets may nest this deep, the record's own counting as the first level.
inline constexpr int kMaxNesting = 128;

class Scanner {
 public:
  explicit Scanner(std::string_view input) noexcept
      : begin_(input.data()), p_(input.data()), end_(input.data() + input.size()) {}

  // ---- position -------------------------------------------------------------
  bool at_end() const noexcept { return p_ == end_; }
  char peek() const noexcept { return *p_; }
  void advance() noexcept { ++p_; }
  void skip_whitespace() noexcept {
    while (p_ != end_ && is_whitespace(*p_)) ++p_;
  }
  // Skips whitespace and consumes `closer` if it comes next: where the errors of
  // the record as a whole (missing, duplicate fields, too few elements) are reported.
  void probe_closing(char closer) noexcept {
    skip_whitespace();
    if (p_ != end_ && *p_ == closer) ++p_;
  }

  // ---- faults: each records the first error and returns false -------------------
  // At the offending byte, counting it (the end of input if there is none).
  [[gnu::cold]] bool fail_counted(Fault fault);
  // Before the current byte.
  [[gnu::cold]] bool fail_here(Fault fault);
  [[gnu::cold]] bool fail_here(std::string description);
  // "invalid type: ..." for the value starting at the current byte, which is not
  // of the expected kind; reads the whole token first, so its own faults win.
  [[gnu::cold]] bool fail_invalid_type(std::string_view expected);
  // The recorded error, with its line and column.
  RecordFault fault() const;

  // ---- values -----------------------------------------------------------------
  // A JSON integer 0 to 2^64-1, after optional whitespace.
  bool read_u64(std::uint64_t& out);
  // A JSON string, after optional whitespace, decoded into `out`.
  bool read_string(std::string& out);
  // The text of a string whose opening quote has been consumed: borrowed from the
  // input when it holds no escape, else unescaped into `buffer`.
  bool read_string_body(std::string& buffer, std::string_view& text);
  // Consumes `literal` if the input continues with it.
  bool consume_if(std::string_view literal) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < literal.size() || std::memcmp(p_, literal.data(), literal.size()) != 0)
      return false;
    p_ += literal.size();
    return true;
  }
  // An object key whose opening quote has been consumed; valid until the next key.
  bool read_key(std::string_view& key) { return read_string_body(scratch_, key); }
  // `null` whose `n` is the current byte.
  bool read_null() { return ++p_, read_ident("ull"); }
  // Any well-formed value, not kept; `depth` is the nesting level of its container.
  bool skip_value(int depth);

 private:
  static bool is_whitespace(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  static bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

  static std::uint64_t load8(const char* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  }
  static constexpr std::uint64_t kPowersOfTenU64[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  // How many of the 8 bytes of `word`, lowest first, are decimal digits before the first other byte.
  static int leading_digit_count(std::uint64_t word) noexcept {
    const std::uint64_t x = word ^ 0x3030303030303030ULL;  // a digit becomes 0..9
    const std::uint64_t not_digit = ((x + 0x7676767676767676ULL) | x) & 0x8080808080808080ULL;
    return not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
  }
  // The value of the first `count` bytes of `word`, all digits, the first the most significant.
  static std::uint64_t digits_value(std::uint64_t word, int count) noexcept {
    if (count == 0) return 0;
    if (count < 8) word = (word << (8 * (8 - count))) | (0x3030303030303030ULL >> (8 * count));
    word -= 0x3030303030303030ULL;
    word = word * 10 + (word >> 8);
    return (((word & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((word >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
  }

  // One bit per byte of the 8 at `at` that ends a run of plain string bytes: `"`, `\` or a control.
  static std::uint64_t string_stop_mask(const char* at) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    const std::uint64_t stops = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                ((word - kOnes * 0x20) & ~word);
    return stops & kHighs;
  }
  static bool is_string_stop(char c) noexcept {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  }
  // Advances to the next `"`, `\` or control byte (or the end); ORs the bytes passed into `seen`.
  void skip_plain_string_bytes(std::uint64_t& seen) noexcept {
    while (end_ - p_ >= 8) {
      const std::uint64_t stops = string_stop_mask(p_);
      std::uint64_t word;
      std::memcpy(&word, p_, 8);
      if (stops != 0) {
        const int plain_bytes = std::countr_zero(stops) / 8;
        seen |= word & ((std::uint64_t{1} << (8 * plain_bytes)) - 1);
        p_ += plain_bytes;
        return;
      }
      seen |= word;
      p_ += 8;
    }
    while (p_ != end_ && !is_string_stop(*p_)) seen |= static_cast<unsigned char>(*p_++);
  }

  bool read_ident(std::string_view rest);
  bool read_escape(std::string& buffer);
  bool read_unicode_escape(std::string& buffer);
  bool read_hex_escape(std::uint32_t& out);
  bool skip_string_body();
  bool skip_escape();
  bool skip_number();
  bool skip_plain_integer_list() noexcept;

  // Number tokens: `p_` at the first digit, after an optional `-`.
  bool read_number(bool positive, Number& out);
  bool read_number_tail(bool positive, std::uint64_t significand, Number& out);
  bool read_long_integer(bool positive, std::uint64_t significand, Number& out);
  bool read_fraction(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out);
  bool read_exponent(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out);
  bool float_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out);
  [[gnu::cold]] bool fail_number_kind(const Number& number, std::string_view expected);

  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string scratch_;  // keys with escapes, strings named in messages
  std::string error_description_;
  std::size_t error_offset_ = 0;
};

inline bool Scanner::read_u64(std::uint64_t& out) {
  skip_whitespace();
  if (p_ == end_) [[unlikely]]
    return fail_counted(Fault::kEofWhileParsingValue);
  const char first = *p_;
  if (is_digit(first)) [[likely]] {
    // Plain digits, eight at a time: two words give up to 16 without any
    // overflow check, and up to 3 more cannot overflow either.
    const char* q = p_;
    std::uint64_t value = 0;
    if (first == '0') {
      ++q;
    } else if (end_ - q >= 16) {
      const int head = leading_digit_count(load8(q));
      value = digits_value(load8(q), head);
      q += head;
      if (head == 8) {
        const int tail = leading_digit_count(load8(q));
        value = value * kPowersOfTenU64[tail] + digits_value(load8(q), tail);
        q += tail;
        if (tail == 8) {
          for (int extra = 0; extra < 3 && q != end_ && is_digit(*q); ++extra) {
            value = value * 10 + static_cast<std::uint64_t>(*q++ - '0');
          }
        }
      }
    } else {
      const char* const limit = end_ - p_ > 19 ? p_ + 19 : end_;
      while (q != limit && is_digit(*q)) value = value * 10 + static_cast<std::uint64_t>(*q++ - '0');
    }
    if (q == end_ || (!is_digit(*q) && *q != '.' && (*q | 0x20) != 'e')) [[likely]] {
      p_ = q;
      out = value;
      return true;
    }
    Number number;
    if (!read_number(true, number)) return false;
    if (number.kind == Number::Kind::kUnsigned) {
      out = number.unsigned_value;
      return true;
    }
    return fail_number_kind(number, "u64");
  }
  if (first == '-') {
    ++p_;
    Number number;
    if (!read_number(false, number)) return false;
    return fail_number_kind(number, "u64");
  }
  return fail_invalid_type("u64");
}

inline bool Scanner::read_string_body(std::string& buffer, std::string_view& text) {
  const char* start = p_;
  std::uint64_t seen = 0;
  skip_plain_string_bytes(seen);
  bool escaped = false;
  for (;;) {
    if (p_ == end_) [[unlikely]]
      return fail_here(Fault::kEofWhileParsingString);
    const char c = *p_;
    if (c == '"') [[likely]]
      break;
    if (c != '\\') [[unlikely]] {
      ++p_;
      return fail_here(Fault::kControlCharacter);
    }
    if (!escaped) {
      buffer.clear();
      escaped = true;
    }
    buffer.append(start, p_);
    ++p_;
    if (!read_escape(buffer)) return false;
    start = p_;
    skip_plain_string_bytes(seen);
  }
  if (escaped) {
    buffer.append(start, p_);
    text = buffer;
  } else {
    text = std::string_view(start, static_cast<std::size_t>(p_ - start));
  }
  ++p_;
  if ((seen & 0x8080808080808080ULL) != 0 && find_invalid_utf8(text).has_value()) [[unlikely]]
    return fail_here(Fault::kInvalidUnicodeCodePoint);
  return true;
}

inline bool Scanner::read_string(std::string& out) {
  skip_whitespace();
  if (p_ == end_) [[unlikely]]
    return fail_counted(Fault::kEofWhileParsingValue);
  if (*p_ != '"') [[unlikely]]
    return fail_invalid_type("a string");
  ++p_;
  std::string_view text;
  if (!read_string_body(out, text)) return false;
  if (text.data() != out.data()) out.assign(text);
  return true;
}

}  // namespace vesker::record_json
