#include "core/comparison/held_by.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "core/codecs/record_decoder.h"

namespace vesker {
namespace {

Result<std::string> type_of(const Store& store, const Transaction& txn, std::uint64_t id) {
  const std::string_view key(reinterpret_cast<const char*>(&id), sizeof id);
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, key));
  if (!stored) return fail(Error::decoding("Decoding error: Missing record for ID " + std::to_string(id)));
  auto summary = decode_object_summary(*stored);
  if (!summary) return fail(Error::decoding(summary.error()));
  return std::move(summary->type);
}

}  // namespace

Result<std::vector<HeldGroup>> group_by_holder(std::span<const NewObject> new_objects,
                                               std::span<const std::string> type_names, const Store& new_store,
                                               const Transaction& new_txn) {
  absl::flat_hash_set<std::uint64_t> is_new;
  is_new.reserve(new_objects.size());
  for (const NewObject& object : new_objects) is_new.insert(object.id);

  // (holder, type of the new objects) -> what that holder keeps of that type.
  absl::flat_hash_map<std::pair<std::uint64_t, std::uint32_t>, Totals> shares;
  for (const NewObject& object : new_objects) {
    const std::uint64_t holder = object.dominance.immediate_dominator;
    if (holder != 0 && is_new.contains(holder)) continue;  // inside a new subtree: counted at its top
    shares[{holder, object.type}].add(object.size, object.dominance.retained_size);
  }

  struct Group {
    HeldGroup held;
    Totals largest;  // the share of the holder that keeps the most
  };
  absl::flat_hash_map<std::uint64_t, std::string> holder_types;
  absl::flat_hash_map<std::pair<std::uint32_t, std::string>, Group> groups;
  for (const auto& [key, share] : shares) {
    const auto [holder, type] = key;
    auto [known, inserted] = holder_types.try_emplace(holder);
    if (inserted && holder != 0) {
      VESKER_ASSIGN_OR_RETURN(known->second, type_of(new_store, new_txn, holder));
    }
    Group& group = groups[{type, known->second}];
    if (group.held.holders == 0 || std::tie(share.retained, share.count, holder) >
                                       std::tie(group.largest.retained, group.largest.count, group.held.largest_holder)) {
      group.largest = share;
      group.held.largest_holder = holder;
    }
    ++group.held.holders;
    group.held.added.add(share);
  }

  std::vector<HeldGroup> held;
  held.reserve(groups.size());
  for (auto& [key, group] : groups) {
    group.held.type = type_names[key.first];
    group.held.holder_type = key.second;
    held.push_back(std::move(group.held));
  }
  std::ranges::sort(held, [](const HeldGroup& a, const HeldGroup& b) {
    return std::tie(b.added.retained, b.added.count, a.type, a.holder_type) <
           std::tie(a.added.retained, a.added.count, b.type, b.holder_type);
  });
  return held;
}

}  // namespace vesker
