// The stored object record and its two decoded views.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesker {

// One heap object: the value of `primary` under its id, and the import's line format.
struct RawObjectRecord {
  std::uint64_t id = 0;
  std::string type;
  std::vector<std::uint64_t> references;
  std::optional<std::string> value;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;

  bool operator==(const RawObjectRecord&) const = default;
};

// The record without its value text, for graph walks.
struct ObjectRecordNoValue {
  std::uint64_t id = 0;
  std::string type;
  std::vector<std::uint64_t> references;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;

  bool operator==(const ObjectRecordNoValue&) const = default;
};

// The record without its references, for query results.
struct ObjectSummary {
  std::uint64_t id = 0;
  std::string type;
  std::optional<std::string> value;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> subtree_size;

  bool operator==(const ObjectSummary&) const = default;
};

// The type name that the graph rules never traverse into.
inline constexpr std::string_view kModuleTypeName = "builtins.module";

}  // namespace vesker
