#include "core/comparison/record_view.h"

#include <cstring>

namespace vesker {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool at_end() const { return p_ == end_; }
  // The literal's size is known where this is inlined, so the comparison becomes a few loads
  // instead of a call: it runs several times for every record of a comparison.
  template <std::size_t N>
  [[gnu::always_inline]] bool literal(const char (&expected)[N]) {
    constexpr std::size_t size = N - 1;
    if (static_cast<std::size_t>(end_ - p_) < size || std::memcmp(p_, expected, size) != 0) return false;
    p_ += size;
    return true;
  }
  // Up to 19 digits, which never overflow; longer numbers are left to the general decoder.
  bool number(std::uint64_t& out) {
    const char* start = p_;
    std::uint64_t value = 0;
    while (p_ != end_ && static_cast<unsigned char>(*p_ - '0') < 10 && p_ - start < 19) value = value * 10 + (*p_++ - '0');
    if (p_ == start || (p_ - start > 1 && *start == '0')) return false;
    out = value;
    return true;
  }
  // The text of a string whose opening quote has been read, when it holds no escape.
  bool plain_string(std::string_view& out) {
    const void* quote = std::memchr(p_, '"', static_cast<std::size_t>(end_ - p_));
    if (quote == nullptr) return false;
    const auto* close = static_cast<const char*>(quote);
    if (std::memchr(p_, '\\', static_cast<std::size_t>(close - p_)) != nullptr) return false;
    out = std::string_view(p_, static_cast<std::size_t>(close - p_));
    p_ = close + 1;
    return true;
  }
  // Past the closing bracket of a list of integers.
  bool skip_integer_list() {
    const void* bracket = std::memchr(p_, ']', static_cast<std::size_t>(end_ - p_));
    if (bracket == nullptr) return false;
    p_ = static_cast<const char*>(bracket) + 1;
    return true;
  }

 private:
  const char* p_;
  const char* const end_;
};

// Every record that the store writes ends with its subtree size. Inside a text every quote is
// escaped, so the key with its bare quotes can only be the record's own, and what comes before
// it is every other field.
constexpr std::string_view kSubtreeKey = ",\"subtree_size\":";

}  // namespace

bool same_but_subtree_size(std::string_view stored, std::string_view other) {
  const std::size_t end = stored.rfind(kSubtreeKey);
  if (end == std::string_view::npos) return stored == other;
  return other.size() > end && other.compare(end, kSubtreeKey.size(), kSubtreeKey) == 0 &&
         std::memcmp(stored.data(), other.data(), end) == 0;
}

std::optional<RecordView> read_stored_record(std::string_view stored) {
  Reader in(stored);
  RecordView record;
  if (!in.literal("{\"id\":") || !in.number(record.id) || !in.literal(",\"type\":\"") ||
      !in.plain_string(record.type) || !in.literal(",\"references\":[") || !in.skip_integer_list() ||
      !in.literal(",\"value\":")) {
    return std::nullopt;
  }
  if (in.literal("\"")) {
    std::string_view value;
    if (!in.plain_string(value)) return std::nullopt;
    record.value = value;
  } else if (!in.literal("null")) {
    return std::nullopt;
  }
  if (!in.literal(",\"size\":") || !in.number(record.size) || !in.literal(",\"subtree_size\":")) return std::nullopt;
  if (std::uint64_t subtree = 0; in.number(subtree)) {
    record.subtree_size = subtree;
  } else if (!in.literal("null")) {
    return std::nullopt;
  }
  if (!in.literal("}") || !in.at_end()) return std::nullopt;
  return record;
}

}  // namespace vesker
