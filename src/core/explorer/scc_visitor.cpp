#include "core/explorer/scc_visitor.h"

namespace vesker {

Result<bool> is_module_record(std::string_view stored) {
  constexpr std::string_view kIdPrefix = R"({"id":)";
  constexpr std::string_view kTypePrefix = R"(,"type":")";
  if (stored.starts_with(kIdPrefix)) {
    std::size_t at = kIdPrefix.size();
    while (at < stored.size() && stored[at] >= '0' && stored[at] <= '9') ++at;
    if (at > kIdPrefix.size() && stored.substr(at).starts_with(kTypePrefix)) {
      const std::size_t type_begin = at + kTypePrefix.size();
      const std::size_t type_end = stored.find_first_of("\"\\", type_begin);
      // An escape in the name would need decoding to compare.
      if (type_end != std::string_view::npos && stored[type_end] == '"') {
        return stored.substr(type_begin, type_end - type_begin) == kModuleTypeName;
      }
    }
  }
  auto decoded = decode_object_record_no_value(stored);
  if (!decoded) return fail(Error::decoding(decoded.error()));
  return decoded->type == kModuleTypeName;
}

}  // namespace vesker
