#include "core/comparison/comparison.h"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <tuple>
#include <utility>

#include "core/comparison/held_by.h"
#include "core/comparison/id_ordered_records.h"
#include "core/comparison/object_identity.h"

namespace vesker {
namespace {

// The per-type rows, found by name without copying the name of every record.
class TypeRows {
 public:
  std::uint32_t index_of(std::string_view type) {
    if (auto found = index_.find(type); found != index_.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(rows_.size());
    rows_.emplace_back().type = type;
    index_.emplace(names_.emplace_back(type), index);
    return index;
  }
  TypeChange& row(std::uint32_t index) { return rows_[index]; }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    names.reserve(rows_.size());
    for (const TypeChange& row : rows_) names.push_back(row.type);
    return names;
  }
  std::vector<TypeChange> take_sorted() && {
    std::ranges::sort(rows_, {}, &TypeChange::type);
    return std::move(rows_);
  }

 private:
  std::deque<std::string> names_;  // the keys of `index_`, which never move
  absl::flat_hash_map<std::string_view, std::uint32_t> index_;
  std::vector<TypeChange> rows_;
};

Result<DominatorFacts> facts_of(const RetainedFacts* retained, std::uint64_t id) {
  if (retained == nullptr) return DominatorFacts{};
  VESKER_ASSIGN_OR_RETURN(std::optional<DominatorFacts> facts, retained->facts(id));
  return facts.value_or(DominatorFacts{});
}

std::vector<SiteGrowth> by_site(std::span<const NewObject> new_objects) {
  absl::flat_hash_map<std::uint32_t, SiteGrowth> sites;
  for (const NewObject& object : new_objects) {
    SiteGrowth& growth = sites[object.site];
    ++growth.count;
    growth.size += object.size;
  }
  std::vector<SiteGrowth> out;
  out.reserve(sites.size());
  for (auto& [site, growth] : sites) {
    if (site != kUnknownSite) growth.site = site;
    out.push_back(growth);
  }
  std::ranges::sort(out, [](const SiteGrowth& a, const SiteGrowth& b) {
    return std::tie(b.size, b.count, a.site) < std::tie(a.size, a.count, b.site);
  });
  return out;
}

class MergePass {
 public:
  MergePass(const ComparisonOptions& options, std::optional<HolderComparison> holders)
      : options_(options), holders_(std::move(holders)) {}

  Status old_only(const RecordView& object) {
    VESKER_ASSIGN_OR_RETURN(DominatorFacts facts, facts_of(options_.old_retained, object.id));
    TypeChange& row = rows_.row(rows_.index_of(object.type));
    row.old_side.add(object.size, facts.retained_size);
    if (options_.same_process) row.removed.add(object.size, facts.retained_size);
    return {};
  }

  Status new_only(const RecordView& object) {
    VESKER_ASSIGN_OR_RETURN(DominatorFacts facts, facts_of(options_.new_retained, object.id));
    const std::uint32_t type = rows_.index_of(object.type);
    TypeChange& row = rows_.row(type);
    row.new_side.add(object.size, facts.retained_size);
    if (options_.same_process) {
      row.added.add(object.size, facts.retained_size);
      new_objects_.push_back(NewObject{object.id, type, object.size, options_.new_sites.site_of(object.id)});
    }
    return {};
  }

  // Records of one id that differ in more than their subtree sizes.
  Status both(const RecordView& old_object, const RecordView& new_object) {
    if (holders_) {
      VESKER_ASSIGN_OR_RETURN(const bool same, is_one_object(old_object, new_object));
      if (!same) {
        VESKER_TRY(old_only(old_object));
        return new_only(new_object);
      }
    }
    VESKER_ASSIGN_OR_RETURN(DominatorFacts old_facts, facts_of(options_.old_retained, old_object.id));
    VESKER_ASSIGN_OR_RETURN(DominatorFacts new_facts, facts_of(options_.new_retained, new_object.id));
    rows_.row(rows_.index_of(old_object.type)).old_side.add(old_object.size, old_facts.retained_size);
    rows_.row(rows_.index_of(new_object.type)).new_side.add(new_object.size, new_facts.retained_size);
    return {};
  }

  // A record stored alike in both dumps but for its subtree size: one object, whatever the mode.
  Status unchanged(const RecordView& object) {
    VESKER_ASSIGN_OR_RETURN(DominatorFacts old_facts, facts_of(options_.old_retained, object.id));
    VESKER_ASSIGN_OR_RETURN(DominatorFacts new_facts, facts_of(options_.new_retained, object.id));
    TypeChange& row = rows_.row(rows_.index_of(object.type));
    row.old_side.add(object.size, old_facts.retained_size);
    row.new_side.add(object.size, new_facts.retained_size);
    return {};
  }

  Result<Comparison> finish(const Store& new_store) && {
    Comparison comparison;
    comparison.same_process = options_.same_process;
    comparison.retained = options_.new_retained != nullptr;
    if (!new_objects_.empty()) {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, new_store.begin_read());
      const std::vector<std::string> names = rows_.names();
      VESKER_ASSIGN_OR_RETURN(ReferrerHolders referrers, ReferrerHolders::open(new_store, txn));
      std::optional<DominatorHolders> dominators;
      if (options_.new_retained != nullptr) dominators.emplace(*options_.new_retained);
      HolderCandidates& holders = dominators ? static_cast<HolderCandidates&>(*dominators) : referrers;
      VESKER_ASSIGN_OR_RETURN(comparison.held, group_by_holder(new_objects_, names, holders, new_store, txn));
    }
    if (!options_.new_sites.empty()) comparison.added_sites = by_site(new_objects_);
    comparison.types = std::move(rows_).take_sorted();
    comparison.total.type = "All Types";
    for (const TypeChange& row : comparison.types) {
      comparison.total.old_side.add(row.old_side);
      comparison.total.new_side.add(row.new_side);
      comparison.total.added.add(row.added);
      comparison.total.removed.add(row.removed);
    }
    return comparison;
  }

 private:
  Result<bool> is_one_object(const RecordView& old_object, const RecordView& new_object) {
    switch (match_records(old_object, new_object, false)) {
      case RecordMatch::different:
        return false;
      case RecordMatch::same:
        return true;
      case RecordMatch::same_if_held_alike:
        return holders_->held_alike(new_object.id);
    }
    internal_error("unknown record match");
  }

  const ComparisonOptions& options_;
  std::optional<HolderComparison> holders_;  // one process only
  TypeRows rows_;
  std::vector<NewObject> new_objects_;
};

}  // namespace

std::uint32_t SitesOfObjects::site_of(std::uint64_t id) const {
  const auto found = std::ranges::lower_bound(ids, id);
  return found != ids.end() && *found == id ? sites[static_cast<std::size_t>(found - ids.begin())] : kUnknownSite;
}

Result<Comparison> compare_stores(const Store& old_store, const Store& new_store, const ComparisonOptions& options) {
  if ((options.old_retained == nullptr) != (options.new_retained == nullptr))
    internal_error("retained facts for one side of a comparison only");
  VESKER_ASSIGN_OR_RETURN(IdOrderedRecords old_records, IdOrderedRecords::open(old_store));
  VESKER_ASSIGN_OR_RETURN(IdOrderedRecords new_records, IdOrderedRecords::open(new_store));
  std::optional<HolderComparison> holders;
  if (options.same_process) {
    VESKER_ASSIGN_OR_RETURN(holders, HolderComparison::open(old_store, new_store));
  }
  MergePass pass(options, std::move(holders));
  for (;;) {
    const bool old_left = !old_records.exhausted();
    const bool new_left = !new_records.exhausted();
    if (!old_left && !new_left) break;
    if (!new_left || (old_left && old_records.id() < new_records.id())) {
      VESKER_ASSIGN_OR_RETURN(const RecordView* old_object, old_records.current());
      VESKER_TRY(pass.old_only(*old_object));
      VESKER_TRY(old_records.advance());
    } else if (!old_left || new_records.id() < old_records.id()) {
      VESKER_ASSIGN_OR_RETURN(const RecordView* new_object, new_records.current());
      VESKER_TRY(pass.new_only(*new_object));
      VESKER_TRY(new_records.advance());
    } else {
      VESKER_ASSIGN_OR_RETURN(const RecordView* old_object, old_records.current());
      if (same_but_subtree_size(old_records.stored(), new_records.stored())) {
        VESKER_TRY(pass.unchanged(*old_object));
      } else {
        VESKER_ASSIGN_OR_RETURN(const RecordView* new_object, new_records.current());
        VESKER_TRY(pass.both(*old_object, *new_object));
      }
      VESKER_TRY(old_records.advance());
      VESKER_TRY(new_records.advance());
    }
  }
  return std::move(pass).finish(new_store);
}

}  // namespace vesker
