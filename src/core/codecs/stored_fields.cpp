#include "core/codecs/stored_fields.h"

#include <cstring>

namespace vesker {
namespace {

constexpr std::size_t kMaxDigits = 19;  // never overflows; longer numbers go to the general decoder

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// A number as the encoder writes it: no sign, no leading zero.
std::optional<std::uint64_t> plain_number(std::string_view digits) {
  if (digits.empty() || digits.size() > kMaxDigits || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

bool strip_prefix(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

bool strip_suffix(std::string_view& text, std::string_view suffix) {
  if (!text.ends_with(suffix)) return false;
  text.remove_suffix(suffix.size());
  return true;
}

std::optional<std::uint64_t> leading_number(std::string_view& text) {
  std::size_t digits = 0;
  while (digits < text.size() && is_digit(text[digits])) ++digits;
  const auto value = plain_number(text.substr(0, digits));
  if (value) text.remove_prefix(digits);
  return value;
}

std::optional<std::uint64_t> trailing_number(std::string_view& text) {
  std::size_t digits = 0;
  while (digits < text.size() && is_digit(text[text.size() - 1 - digits])) ++digits;
  const auto value = plain_number(text.substr(text.size() - digits));
  if (value) text.remove_suffix(digits);
  return value;
}

// The text of a string up to its closing quote, when it holds no escape; `text` then starts
// after the quote.
std::optional<std::string_view> plain_string(std::string_view& text) {
  const std::size_t end = text.find_first_of("\"\\");
  if (end == std::string_view::npos || text[end] != '"') return std::nullopt;
  const std::string_view found = text.substr(0, end);
  text.remove_prefix(end + 1);
  return found;
}

struct Head {
  std::uint64_t id;
  std::string_view type;
};

// `{"id":N,"type":"T"`, consumed from `record`.
std::optional<Head> read_head(std::string_view& record) {
  Head head;
  if (!strip_prefix(record, "{\"id\":")) return std::nullopt;
  const auto id = leading_number(record);
  if (!id || !strip_prefix(record, ",\"type\":\"")) return std::nullopt;
  const auto type = plain_string(record);
  if (!type) return std::nullopt;
  return Head{*id, *type};
}

// `,"size":N,"subtree_size":M}` or `..null}`, consumed from the end of `record`.
std::optional<StoredSizes> read_tail(std::string_view& record) {
  StoredSizes sizes;
  if (!strip_suffix(record, "}")) return std::nullopt;
  if (!strip_suffix(record, "null")) {
    sizes.subtree_size = trailing_number(record);
    if (!sizes.subtree_size) return std::nullopt;
  }
  if (!strip_suffix(record, ",\"subtree_size\":")) return std::nullopt;
  const auto size = trailing_number(record);
  if (!size || !strip_suffix(record, ",\"size\":")) return std::nullopt;
  sizes.size = *size;
  return sizes;
}

}  // namespace

std::optional<StoredSizes> stored_sizes(std::string_view record) { return read_tail(record); }

std::optional<std::string_view> stored_type(std::string_view record) {
  const auto head = read_head(record);
  if (!head) return std::nullopt;
  return head->type;
}

std::optional<RecordView> read_stored_record(std::string_view stored) {
  const auto head = read_head(stored);
  if (!head) return std::nullopt;
  const auto sizes = read_tail(stored);
  // Between them: `,"references":[..],"value":` and a plain string or null. Integers only in
  // the list, so its first closing bracket ends it.
  if (!sizes || !strip_prefix(stored, ",\"references\":[")) return std::nullopt;
  const std::size_t bracket = stored.find(']');
  if (bracket == std::string_view::npos) return std::nullopt;
  stored.remove_prefix(bracket + 1);
  if (!strip_prefix(stored, ",\"value\":")) return std::nullopt;
  RecordView record{head->id, head->type, std::nullopt, sizes->size, sizes->subtree_size};
  if (strip_prefix(stored, "\"")) {
    record.value = plain_string(stored);
    if (!record.value) return std::nullopt;
  } else if (!strip_prefix(stored, "null")) {
    return std::nullopt;
  }
  if (!stored.empty()) return std::nullopt;
  return record;
}

}  // namespace vesker
