#include "core/comparison/held_by.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "core/codecs/index_values.h"
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

Status DominatorHolders::candidates(std::uint64_t id, std::vector<std::uint64_t>& out) {
  VESKER_ASSIGN_OR_RETURN(std::optional<DominatorFacts> facts, facts_.facts(id));
  out.assign(1, facts ? facts->immediate_dominator : 0);
  return {};
}

Result<ReferrerHolders> ReferrerHolders::open(const Store& store, const Transaction& txn) {
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  return ReferrerHolders(std::move(cursor));
}

Status ReferrerHolders::candidates(std::uint64_t id, std::vector<std::uint64_t>& out) {
  out.clear();
  const std::string_view key(reinterpret_cast<const char*>(&id), sizeof id);
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor_.seek(MDB_SET, key));
  if (entry) {
    VESKER_ASSIGN_OR_RETURN(entry, cursor_.move(MDB_FIRST_DUP));
  }
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
    out.push_back(referrer);
    VESKER_ASSIGN_OR_RETURN(entry, cursor_.move(MDB_NEXT_DUP));
  }
  if (out.empty()) out.push_back(0);
  return {};
}

namespace {

// One holder's share of the tops of one type made at one site.
struct Share {
  std::uint64_t holder = 0;
  std::uint32_t type = 0;
  std::uint32_t site = kUnknownSite;
  HeldGroup totals;
};

// Leads every new object to the top of its new subtree, depth first over the candidates, never
// around a cycle of new objects.
class Attribution {
 public:
  Attribution(std::span<const NewObject> new_objects, HolderCandidates& holders)
      : objects_(new_objects), holders_(holders), share_of_(new_objects.size(), kNone),
        on_path_(new_objects.size(), false) {
    index_.reserve(new_objects.size());
    for (std::uint32_t i = 0; i < new_objects.size(); ++i) index_.emplace(new_objects[i].id, i);
  }

  Status attribute_all() {
    for (std::uint32_t i = 0; i < objects_.size(); ++i) {
      if (share_of_[i] == kNone) VESKER_TRY(attribute(i));
    }
    return {};
  }
  std::vector<Share> take_shares() && { return std::move(shares_); }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  struct Frame {
    std::uint32_t object;
    std::vector<std::uint64_t> candidates;
    std::size_t next = 0;
  };

  Status attribute(std::uint32_t start) {
    VESKER_TRY(enter(start));
    while (!path_.empty()) {
      Frame& frame = path_.back();
      if (share_of_[frame.object] != kNone) {
        leave();
        continue;
      }
      bool descended = false;
      for (; frame.next < frame.candidates.size(); ++frame.next) {
        const std::uint32_t candidate = index_.at(frame.candidates[frame.next]);
        if (share_of_[candidate] != kNone) {
          below(frame.object, share_of_[candidate]);
          break;
        }
        if (!on_path_[candidate]) {
          VESKER_TRY(enter(candidate));  // `frame` may dangle from here on
          descended = true;
          break;
        }
      }
      if (descended) continue;
      Frame& current = path_.back();
      // Every candidate is new and on the path: a cycle of new objects that only the roots hold.
      if (share_of_[current.object] == kNone) top(current.object, 0);
      leave();
    }
    return {};
  }

  // Pushes a frame; an object with a candidate that is not new is a top at once.
  Status enter(std::uint32_t object) {
    Frame frame{object, {}, 0};
    VESKER_TRY(holders_.candidates(objects_[object].id, frame.candidates));
    const auto holder = std::ranges::find_if(frame.candidates, [&](std::uint64_t id) { return id == 0 || !index_.contains(id); });
    if (holder != frame.candidates.end()) {
      top(object, *holder);
      return {};
    }
    on_path_[object] = true;
    path_.push_back(std::move(frame));
    return {};
  }
  void leave() {
    on_path_[path_.back().object] = false;
    path_.pop_back();
  }

  void top(std::uint32_t object, std::uint64_t holder) {
    const NewObject& made = objects_[object];
    auto [slot, inserted] = share_index_.try_emplace(std::tuple(holder, made.type, made.site), shares_.size());
    if (inserted) shares_.push_back(Share{holder, made.type, made.site, {}});
    HeldGroup& totals = shares_[slot->second].totals;
    ++totals.count;
    totals.size += objects_[object].size;
    below(object, static_cast<std::uint32_t>(slot->second));
  }
  void below(std::uint32_t object, std::uint32_t share) {
    share_of_[object] = share;
    ++shares_[share].totals.held_count;
    shares_[share].totals.held_size += objects_[object].size;
  }

  std::span<const NewObject> objects_;
  HolderCandidates& holders_;
  absl::flat_hash_map<std::uint64_t, std::uint32_t> index_;
  std::vector<std::uint32_t> share_of_;
  std::vector<bool> on_path_;
  std::vector<Frame> path_;
  absl::flat_hash_map<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>, std::size_t> share_index_;
  std::vector<Share> shares_;
};

}  // namespace

Result<std::vector<HeldGroup>> group_by_holder(std::span<const NewObject> new_objects,
                                               std::span<const std::string> type_names,
                                               HolderCandidates& holders, const Store& new_store,
                                               const Transaction& txn) {
  Attribution attribution(new_objects, holders);
  VESKER_TRY(attribution.attribute_all());
  const std::vector<Share> shares = std::move(attribution).take_shares();

  struct Group {
    HeldGroup held;
    std::uint64_t largest = 0;  // the new memory of the largest holder's share
  };
  absl::flat_hash_map<std::uint64_t, std::string> holder_types;
  absl::flat_hash_map<std::tuple<std::uint32_t, std::uint32_t, std::string>, Group> groups;
  for (const Share& share : shares) {
    auto [known, inserted] = holder_types.try_emplace(share.holder);
    if (inserted && share.holder != 0) {
      VESKER_ASSIGN_OR_RETURN(known->second, type_of(new_store, txn, share.holder));
    }
    Group& group = groups[{share.type, share.site, known->second}];
    if (group.held.holders == 0 || std::tie(share.totals.held_size, group.held.largest_holder) >
                                       std::tie(group.largest, share.holder)) {
      group.largest = share.totals.held_size;
      group.held.largest_holder = share.holder;
    }
    HeldGroup& held = group.held;
    ++held.holders;
    held.count += share.totals.count;
    held.size += share.totals.size;
    held.held_count += share.totals.held_count;
    held.held_size += share.totals.held_size;
  }

  std::vector<HeldGroup> held;
  held.reserve(groups.size());
  for (auto& [key, group] : groups) {
    const auto& [type, site, holder_type] = key;
    group.held.type = type_names[type];
    if (site != kUnknownSite) group.held.site = site;
    group.held.holder_type = holder_type;
    held.push_back(std::move(group.held));
  }
  std::ranges::sort(held, [](const HeldGroup& a, const HeldGroup& b) {
    return std::tie(b.held_size, b.count, a.type, a.holder_type, a.site) <
           std::tie(a.held_size, a.count, b.type, b.holder_type, b.site);
  });
  return held;
}

}  // namespace vesker
