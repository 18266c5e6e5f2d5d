#include "core/codecs/stored_fields.h"

#include <charconv>
#include <system_error>

namespace vesker {

std::optional<StoredSizes> stored_sizes(std::string_view record) {
  const auto strip = [&](std::string_view suffix) {
    if (!record.ends_with(suffix)) return false;
    record.remove_suffix(suffix.size());
    return true;
  };
  const auto number = [&]() -> std::optional<std::uint64_t> {
    std::size_t digits = 0;
    while (digits < record.size() && record[record.size() - 1 - digits] >= '0' &&
           record[record.size() - 1 - digits] <= '9') {
      ++digits;
    }
    std::uint64_t value = 0;
    const char* first = record.data() + record.size() - digits;
    const auto [end, error] = std::from_chars(first, record.data() + record.size(), value);
    if (digits == 0 || error != std::errc{} || end != record.data() + record.size()) return std::nullopt;
    record.remove_suffix(digits);
    return value;
  };
  StoredSizes sizes;
  if (!strip("}")) return std::nullopt;
  if (!strip("null")) {
    sizes.subtree_size = number();
    if (!sizes.subtree_size) return std::nullopt;
  }
  if (!strip(",\"subtree_size\":")) return std::nullopt;
  const auto size = number();
  if (!size || !strip(",\"size\":")) return std::nullopt;
  sizes.size = *size;
  return sizes;
}

std::optional<std::string_view> stored_type(std::string_view record) {
  constexpr std::string_view kOpening = "{\"id\":";
  constexpr std::string_view kType = ",\"type\":\"";
  if (!record.starts_with(kOpening)) return std::nullopt;
  record.remove_prefix(kOpening.size());
  const std::size_t digits = record.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string_view::npos) return std::nullopt;
  record.remove_prefix(digits);
  if (!record.starts_with(kType)) return std::nullopt;
  record.remove_prefix(kType.size());
  const std::size_t end = record.find_first_of("\"\\");
  if (end == std::string_view::npos || record[end] != '"') return std::nullopt;
  return record.substr(0, end);
}

}  // namespace vesker
