// A small JSON reader for the test data files only: integers are kept as u64,
// strings unescaped to UTF-8, objects keep their key order. Malformed input
// throws std::runtime_error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vesker::test {

struct JsonValue;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;
using JsonArray = std::vector<JsonValue>;

struct JsonValue {
  // null, bool, u64, string, array, object
  std::variant<std::monostate, bool, std::uint64_t, std::string, JsonArray, JsonObject> data;

  bool is_null() const { return std::holds_alternative<std::monostate>(data); }
  bool as_bool() const { return std::get<bool>(data); }
  std::uint64_t as_u64() const { return std::get<std::uint64_t>(data); }
  const std::string& as_string() const { return std::get<std::string>(data); }
  const JsonArray& as_array() const { return std::get<JsonArray>(data); }
  const JsonObject& as_object() const { return std::get<JsonObject>(data); }
  bool has(std::string_view key) const {
    for (const auto& [k, v] : as_object())
      if (k == key) return true;
    return false;
  }
  const JsonValue& operator[](std::string_view key) const {
    for (const auto& [k, v] : as_object())
      if (k == key) return v;
    throw std::runtime_error("missing key " + std::string(key));
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  JsonValue read_document() {
    JsonValue value = read_value();
    skip_whitespace();
    if (at_ != text_.size()) fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("test JSON: ") + what + " at " + std::to_string(at_));
  }
  void skip_whitespace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
      ++at_;
  }
  char next() {
    if (at_ >= text_.size()) fail("unexpected end");
    return text_[at_++];
  }
  void expect(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) fail("bad literal");
    at_ += word.size();
  }

  JsonValue read_value() {
    skip_whitespace();
    if (at_ >= text_.size()) fail("unexpected end");
    const char c = text_[at_];
    JsonValue value;
    if (c == 'n') {
      expect("null");
    } else if (c == 't') {
      expect("true");
      value.data = true;
    } else if (c == 'f') {
      expect("false");
      value.data = false;
    } else if (c == '"') {
      ++at_;
      value.data = read_string();
    } else if (c == '[') {
      ++at_;
      JsonArray array;
      skip_whitespace();
      if (at_ < text_.size() && text_[at_] == ']') {
        ++at_;
      } else {
        for (;;) {
          array.push_back(read_value());
          skip_whitespace();
          const char d = next();
          if (d == ']') break;
          if (d != ',') fail("expected , or ]");
        }
      }
      value.data = std::move(array);
    } else if (c == '{') {
      ++at_;
      JsonObject object;
      skip_whitespace();
      if (at_ < text_.size() && text_[at_] == '}') {
        ++at_;
      } else {
        for (;;) {
          skip_whitespace();
          if (next() != '"') fail("expected key");
          std::string key = read_string();
          skip_whitespace();
          if (next() != ':') fail("expected :");
          object.emplace_back(std::move(key), read_value());
          skip_whitespace();
          const char d = next();
          if (d == '}') break;
          if (d != ',') fail("expected , or }");
        }
      }
      value.data = std::move(object);
    } else if (c >= '0' && c <= '9') {
      std::uint64_t n = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
        const auto digit = static_cast<std::uint64_t>(text_[at_++] - '0');
        if (n > (UINT64_MAX - digit) / 10) fail("integer beyond u64");
        n = n * 10 + digit;
      }
      value.data = n;
    } else {
      fail("unsupported value");
    }
    return value;
  }

  std::uint32_t read_hex4() {
    std::uint32_t unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = next();
      unit <<= 4;
      if (h >= '0' && h <= '9') unit |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') unit |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') unit |= static_cast<std::uint32_t>(h - 'A' + 10);
      else fail("bad hex digit");
    }
    return unit;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
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

  std::string read_string() {
    std::string out;
    for (;;) {
      const char c = next();
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = next();
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = read_hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (next() != '\\' || next() != 'u') fail("unpaired surrogate");
            const std::uint32_t low = read_hex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

inline JsonValue parse_test_json(std::string_view text) { return JsonReader(text).read_document(); }

}  // namespace vesker::test
