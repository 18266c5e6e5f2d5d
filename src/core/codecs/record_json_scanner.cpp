#include "core/codecs/record_json_scanner.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/codecs/record_message_text.h"

namespace vesker::record_json {

namespace {

std::string_view fault_text(Fault fault) {
  switch (fault) {
    case Fault::kEofWhileParsingList: return "EOF while parsing a list";
    case Fault::kEofWhileParsingObject: return "EOF while parsing an object";
    case Fault::kEofWhileParsingString: return "EOF while parsing a string";
    case Fault::kEofWhileParsingValue: return "EOF while parsing a value";
    case Fault::kExpectedColon: return "expected `:`";
    case Fault::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Fault::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Fault::kExpectedIdent: return "expected ident";
    case Fault::kExpectedValue: return "expected value";
    case Fault::kInvalidEscape: return "invalid escape";
    case Fault::kInvalidNumber: return "invalid number";
    case Fault::kNumberOutOfRange: return "number out of range";
    case Fault::kInvalidUnicodeCodePoint: return "invalid unicode code point";
    case Fault::kControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Fault::kKeyMustBeAString: return "key must be a string";
    case Fault::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Fault::kTrailingComma: return "trailing comma";
    case Fault::kTrailingCharacters: return "trailing characters";
    case Fault::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Fault::kRecursionLimitExceeded: return "recursion limit exceeded";
  }
  return "unknown fault";
}

// The doubles nearest to 10^k, k = 0..308.
constexpr double kPowersOfTen[] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
    1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89,
    1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99,
    1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109,
    1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
    1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169,
    1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189,
    1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219,
    1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249,
    1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289,
    1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Whether significand * 10 + digit exceeds 2^64 - 1.
bool overflows_u64(std::uint64_t significand, unsigned digit) {
  return significand >= kU64Max / 10 && (significand > kU64Max / 10 || digit > kU64Max % 10);
}

std::int32_t saturating_add(std::int32_t a, std::int64_t b) {
  const std::int64_t sum = static_cast<std::int64_t>(a) + b;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

void append_decimal(std::string& out, auto value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

void append_unexpected_number(std::string& out, const Number& number) {
  switch (number.kind) {
    case Number::Kind::kUnsigned:
      out += "integer `";
      append_decimal(out, number.unsigned_value);
      out += '`';
      break;
    case Number::Kind::kNegative:
      out += "integer `";
      append_decimal(out, number.negative_value);
      out += '`';
      break;
    case Number::Kind::kFloat:
      out += "floating point `";
      append_float_for_message(out, number.float_value);
      out += '`';
      break;
  }
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---- faults --------------------------------------------------------------------

bool Scanner::fail_counted(Fault fault) {
  error_description_ = fault_text(fault);
  error_offset_ = offset() + (p_ != end_ ? 1 : 0);
  return false;
}

bool Scanner::fail_here(Fault fault) { return fail_here(std::string(fault_text(fault))); }

bool Scanner::fail_here(std::string description) {
  error_description_ = std::move(description);
  error_offset_ = offset();
  return false;
}

RecordFault Scanner::fault() const {
  const char* const at = begin_ + error_offset_;
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(begin_, at, '\n'));
  const char* line_start = at;
  while (line_start != begin_ && line_start[-1] != '\n') --line_start;
  return RecordFault{error_description_, line, static_cast<std::size_t>(at - line_start)};
}

bool Scanner::fail_number_kind(const Number& number, std::string_view expected) {
  std::string description = number.kind == Number::Kind::kNegative ? "invalid value: " : "invalid type: ";
  append_unexpected_number(description, number);
  description += ", expected ";
  description += expected;
  return fail_here(std::move(description));
}

bool Scanner::fail_invalid_type(std::string_view expected) {
  std::string description = "invalid type: ";
  switch (p_ != end_ ? *p_ : '\0') {
    case 'n':
      if (!read_null()) return false;
      description += "null";
      break;
    case 't':
      ++p_;
      if (!read_ident("rue")) return false;
      description += "boolean `true`";
      break;
    case 'f':
      ++p_;
      if (!read_ident("alse")) return false;
      description += "boolean `false`";
      break;
    case '-': {
      ++p_;
      Number number;
      if (!read_number(false, number)) return false;
      append_unexpected_number(description, number);
      break;
    }
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9': {
      Number number;
      if (!read_number(true, number)) return false;
      append_unexpected_number(description, number);
      break;
    }
    case '"': {
      ++p_;
      std::string_view text;
      if (!read_string_body(scratch_, text)) return false;
      description += "string ";
      append_quoted_for_message(description, text);
      break;
    }
    case '[':
      description += "sequence";
      break;
    case '{':
      description += "map";
      break;
    default:
      return fail_counted(Fault::kExpectedValue);
  }
  description += ", expected ";
  description += expected;
  return fail_here(std::move(description));
}

// ---- literals and strings ----------------------------------------------------------

bool Scanner::read_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
    if (*p_++ != expected) return fail_here(Fault::kExpectedIdent);
  }
  return true;
}

bool Scanner::read_hex_escape(std::uint32_t& out) {
  if (end_ - p_ < 4) {
    p_ = end_;
    return fail_here(Fault::kEofWhileParsingString);
  }
  const int a = hex_value(p_[0]), b = hex_value(p_[1]), c = hex_value(p_[2]), d = hex_value(p_[3]);
  p_ += 4;
  if ((a | b | c | d) < 0) return fail_here(Fault::kInvalidEscape);
  out = static_cast<std::uint32_t>((a << 12) | (b << 8) | (c << 4) | d);
  return true;
}

bool Scanner::read_escape(std::string& buffer) {
  if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
  switch (*p_++) {
    case '"': buffer += '"'; return true;
    case '\\': buffer += '\\'; return true;
    case '/': buffer += '/'; return true;
    case 'b': buffer += '\b'; return true;
    case 'f': buffer += '\f'; return true;
    case 'n': buffer += '\n'; return true;
    case 'r': buffer += '\r'; return true;
    case 't': buffer += '\t'; return true;
    case 'u': return read_unicode_escape(buffer);
    default: return fail_here(Fault::kInvalidEscape);
  }
}

bool Scanner::read_unicode_escape(std::string& buffer) {
  std::uint32_t unit;
  if (!read_hex_escape(unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_here(Fault::kLoneLeadingSurrogate);
  if (unit < 0xD800 || unit > 0xDBFF) {
    append_utf8(buffer, unit);
    return true;
  }
  // A leading surrogate: the trailing one must follow as the next escape.
  for (const char expected : {'\\', 'u'}) {
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
    if (*p_++ != expected) return fail_here(Fault::kUnexpectedEndOfHexEscape);
  }
  std::uint32_t trailing;
  if (!read_hex_escape(trailing)) return false;
  if (trailing < 0xDC00 || trailing > 0xDFFF) return fail_here(Fault::kLoneLeadingSurrogate);
  append_utf8(buffer, 0x10000 + (((unit - 0xD800) << 10) | (trailing - 0xDC00)));
  return true;
}

bool Scanner::skip_escape() {
  if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
  switch (*p_++) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return true;
    case 'u': {
      std::uint32_t ignored;
      return read_hex_escape(ignored);
    }
    default:
      return fail_here(Fault::kInvalidEscape);
  }
}

// Skipped strings are neither unescaped nor checked for UTF-8 or surrogate pairs.
bool Scanner::skip_string_body() {
  std::uint64_t ignored = 0;
  for (;;) {
    skip_plain_string_bytes(ignored);
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
    const char c = *p_;
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c != '\\') return fail_here(Fault::kControlCharacter);
    ++p_;
    if (!skip_escape()) return false;
  }
}

// ---- numbers ---------------------------------------------------------------------

bool Scanner::read_number(bool positive, Number& out) {
  if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
  const char first = *p_++;
  if (first == '0') {
    if (p_ != end_ && is_digit(*p_)) return fail_counted(Fault::kInvalidNumber);
    return read_number_tail(positive, 0, out);
  }
  if (!is_digit(first)) return fail_here(Fault::kInvalidNumber);
  std::uint64_t significand = static_cast<std::uint64_t>(first - '0');
  while (p_ != end_ && is_digit(*p_)) {
    const unsigned digit = static_cast<unsigned>(*p_ - '0');
    if (overflows_u64(significand, digit)) return read_long_integer(positive, significand, out);
    ++p_;
    significand = significand * 10 + digit;
  }
  return read_number_tail(positive, significand, out);
}

bool Scanner::read_number_tail(bool positive, std::uint64_t significand, Number& out) {
  if (p_ != end_) {
    if (*p_ == '.') return read_fraction(positive, significand, 0, out);
    if (*p_ == 'e' || *p_ == 'E') return read_exponent(positive, significand, 0, out);
  }
  if (positive) {
    out.kind = Number::Kind::kUnsigned;
    out.unsigned_value = significand;
    return true;
  }
  const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - significand);
  if (negated >= 0) {  // -0, or a magnitude beyond the signed range
    out.kind = Number::Kind::kFloat;
    out.float_value = -static_cast<double>(significand);
  } else {
    out.kind = Number::Kind::kNegative;
    out.negative_value = negated;
  }
  return true;
}

// Integer digits beyond 2^64 - 1 are dropped and scale the value instead.
bool Scanner::read_long_integer(bool positive, std::uint64_t significand, Number& out) {
  std::int32_t exponent = 0;
  while (p_ != end_ && is_digit(*p_)) {
    ++p_;
    exponent = saturating_add(exponent, 1);
  }
  if (p_ != end_ && *p_ == '.') return read_fraction(positive, significand, exponent, out);
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) return read_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

bool Scanner::read_fraction(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out) {
  ++p_;  // '.'
  std::int32_t fraction_digits = 0;
  while (p_ != end_ && is_digit(*p_)) {
    const unsigned digit = static_cast<unsigned>(*p_ - '0');
    if (overflows_u64(significand, digit)) {
      // Fraction digits that no longer fit are dropped without scaling.
      while (p_ != end_ && is_digit(*p_)) ++p_;
      exponent = saturating_add(exponent, -fraction_digits);
      if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) return read_exponent(positive, significand, exponent, out);
      return float_from_parts(positive, significand, exponent, out);
    }
    ++p_;
    significand = significand * 10 + digit;
    ++fraction_digits;
  }
  if (fraction_digits == 0) {
    return fail_counted(p_ != end_ ? Fault::kInvalidNumber : Fault::kEofWhileParsingValue);
  }
  exponent = saturating_add(exponent, -fraction_digits);
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) return read_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

bool Scanner::read_exponent(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out) {
  ++p_;  // 'e' or 'E'
  bool positive_exponent = true;
  if (p_ != end_ && (*p_ == '+' || *p_ == '-')) positive_exponent = *p_++ == '+';
  if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
  const char first = *p_++;
  if (!is_digit(first)) return fail_here(Fault::kInvalidNumber);
  std::int32_t explicit_exponent = first - '0';
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  while (p_ != end_ && is_digit(*p_)) {
    const int digit = *p_++ - '0';
    if (explicit_exponent >= kMax / 10 && (explicit_exponent > kMax / 10 || digit > kMax % 10)) {
      // An exponent beyond the 32-bit range: infinity is refused, anything else is zero.
      if (significand != 0 && positive_exponent) return fail_here(Fault::kNumberOutOfRange);
      while (p_ != end_ && is_digit(*p_)) ++p_;
      out.kind = Number::Kind::kFloat;
      out.float_value = positive ? 0.0 : -0.0;
      return true;
    }
    explicit_exponent = explicit_exponent * 10 + digit;
  }
  exponent = saturating_add(exponent, positive_exponent ? explicit_exponent : -std::int64_t{explicit_exponent});
  return float_from_parts(positive, significand, exponent, out);
}

// Not correctly rounded: one multiplication or division by a power of ten, as
// the messages of stored records have always shown it.
bool Scanner::float_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent, Number& out) {
  double value = static_cast<double>(significand);
  for (;;) {
    const std::int64_t magnitude = exponent < 0 ? -std::int64_t{exponent} : std::int64_t{exponent};
    if (magnitude <= 308) {
      if (exponent >= 0) {
        value *= kPowersOfTen[magnitude];
        if (std::isinf(value)) return fail_here(Fault::kNumberOutOfRange);
      } else {
        value /= kPowersOfTen[magnitude];
      }
      break;
    }
    if (value == 0.0) break;
    if (exponent >= 0) return fail_here(Fault::kNumberOutOfRange);
    value /= 1e308;
    exponent += 308;
  }
  out.kind = Number::Kind::kFloat;
  out.float_value = positive ? value : -value;
  return true;
}

// Grammar only: a skipped number is never converted, so it is never out of range.
bool Scanner::skip_number() {
  if (p_ != end_ && *p_ == '-') ++p_;
  const char first = p_ != end_ ? *p_++ : '\0';
  if (first == '0') {
    if (p_ != end_ && is_digit(*p_)) return fail_counted(Fault::kInvalidNumber);
  } else if (is_digit(first)) {
    while (p_ != end_ && is_digit(*p_)) ++p_;
  } else {
    return fail_here(Fault::kInvalidNumber);
  }
  if (p_ != end_ && *p_ == '.') {
    ++p_;
    if (p_ == end_ || !is_digit(*p_)) return fail_counted(Fault::kInvalidNumber);
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    const char digit = p_ != end_ ? *p_++ : '\0';
    if (!is_digit(digit)) return fail_here(Fault::kInvalidNumber);
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  return true;
}

// ---- skipped values ----------------------------------------------------------------

// A compact list of plain integers, the common skipped value (`references` of a
// summary); anything else is left to the general skipper.
bool Scanner::skip_plain_integer_list() noexcept {
  const char* q = p_ + 1;
  if (q != end_ && *q == ']') {
    p_ = q + 1;
    return true;
  }
  for (;;) {
    if (q == end_ || !is_digit(*q)) return false;
    if (*q == '0') {
      ++q;
    } else {
      while (end_ - q >= 8) {
        const int digits = leading_digit_count(load8(q));
        q += digits;
        if (digits != 8) break;
      }
      while (q != end_ && is_digit(*q)) ++q;
    }
    if (q == end_) return false;
    if (*q == ']') {
      p_ = q + 1;
      return true;
    }
    if (*q != ',') return false;
    ++q;
  }
}

bool Scanner::skip_value(int depth) {
  skip_whitespace();
  if (p_ != end_ && *p_ == '[' && depth < kMaxNesting && skip_plain_integer_list()) return true;
  // The open brackets of the value, innermost last; the depth limit bounds them.
  bool is_object[kMaxNesting];
  int open = 0;
  for (;;) {
    skip_whitespace();
    if (p_ == end_) return fail_counted(Fault::kEofWhileParsingValue);
    bool opened = false;
    switch (*p_) {
      case 'n': ++p_; if (!read_ident("ull")) return false; break;
      case 't': ++p_; if (!read_ident("rue")) return false; break;
      case 'f': ++p_; if (!read_ident("alse")) return false; break;
      case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        if (!skip_number()) return false;
        break;
      case '"':
        ++p_;
        if (!skip_string_body()) return false;
        break;
      case '[':
      case '{':
        if (depth + open + 1 > kMaxNesting) return fail_counted(Fault::kRecursionLimitExceeded);
        is_object[open++] = *p_++ == '{';
        opened = true;
        break;
      default:
        return fail_counted(Fault::kExpectedValue);
    }
    if (open == 0) return true;
    // A bracket just opened accepts its closer or a first member; a finished
    // member its container's comma or closer.
    bool accept_comma = !opened;
    for (;;) {
      skip_whitespace();
      const bool object = is_object[open - 1];
      if (p_ == end_) {
        return fail_counted(object ? Fault::kEofWhileParsingObject : Fault::kEofWhileParsingList);
      }
      const char c = *p_;
      if (c == ',' && accept_comma) {
        ++p_;
        break;
      }
      if (c == (object ? '}' : ']')) {
        ++p_;
        if (--open == 0) return true;
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        return fail_counted(object ? Fault::kExpectedObjectCommaOrEnd : Fault::kExpectedListCommaOrEnd);
      }
      break;
    }
    if (is_object[open - 1]) {
      skip_whitespace();
      if (p_ == end_) return fail_counted(Fault::kEofWhileParsingObject);
      if (*p_ != '"') return fail_counted(Fault::kKeyMustBeAString);
      ++p_;
      if (!skip_string_body()) return false;
      skip_whitespace();
      if (p_ == end_) return fail_counted(Fault::kEofWhileParsingObject);
      if (*p_ != ':') return fail_counted(Fault::kExpectedColon);
      ++p_;
    }
  }
}

}  // namespace vesker::record_json

std::string vesker::RecordFault::message() const {
  std::string text = description;
  text += " at line ";
  record_json::append_decimal(text, line);
  text += " column ";
  record_json::append_decimal(text, column);
  return text;
}
