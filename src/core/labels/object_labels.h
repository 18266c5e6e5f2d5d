// What an object is, told by the named reference that holds it: `__main__.cache`, `Order.tags`,
// "`__main__`'s namespace", `Document.__dict__`. Objects with a value are shown by it; these
// names are for the others (dicts, lists, instances), which a table otherwise shows by type only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "core/codecs/object_record.h"
#include "core/common/error.h"
#include "core/store/analysis_store.h"

namespace vesker::labels {

// `Order` for `app.Order`.
std::string_view short_type(std::string_view type);
// Digits become `#`, so indices and generated keys read alike across objects and dumps.
std::string mask_digits(std::string_view name);

// A label and how well it names the object: 0 a module's namespace, 1 a module's attribute,
// 2 an instance's attribute, 3 an item of a container, 4 a borrowed namespace (a function's globals).
struct RankedLabel {
  int rank = 0;
  std::string text;
};

class ObjectLabeler {
 public:
  ObjectLabeler(const Transaction& txn, const AnalysisStore& store) : txn_(txn), store_(store) {}

  // The object's name from the referrer that names it best, among the first referrers in id
  // order; nothing when none names its reference to it. `masked` writes digits as `#`, so that
  // `list[3]` and `list[4]` read alike.
  Result<std::optional<std::string>> label(std::uint64_t id, bool masked = false);
  // The masked label, or else the first referrer's type, or "the roots" for an object nothing refers to:
  // what holds the object, for grouping many objects by their holder.
  Result<std::string> holder(std::uint64_t id);

  Result<ObjectRecordNoValue> record(std::uint64_t id);
  Result<std::string> type_of(std::uint64_t id);
  // The name of the reference from `from` to `to`, if the dump named it.
  Result<std::optional<std::string>> reference_name(std::uint64_t from, std::uint64_t to);

 private:
  Result<std::optional<RankedLabel>> named_by(std::uint64_t referrer, std::uint64_t id, bool masked);
  // For a dict that is a module's or an instance's `__dict__`: the module's name or the type.
  Result<std::optional<std::pair<std::string, bool>>> namespace_owner(std::uint64_t dict);

  const Transaction& txn_;
  const AnalysisStore& store_;
  absl::flat_hash_map<std::uint64_t, std::string> types_;
  absl::flat_hash_map<std::uint64_t, std::optional<std::pair<std::string, bool>>> owners_;
  absl::flat_hash_map<std::uint64_t, absl::flat_hash_map<std::uint64_t, std::string>> names_by_referrer_;
};

}  // namespace vesker::labels
