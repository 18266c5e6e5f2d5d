#include "core/comparison/growth.h"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>

#include "core/codecs/record_decoder.h"
#include "core/comparison/growth_sources.h"
#include "core/comparison/id_ordered_records.h"
#include "core/comparison/object_identity.h"

namespace vesker {
namespace {

using Sizes = std::vector<std::optional<std::uint64_t>>;

Result<std::optional<std::uint64_t>> size_of(const GrowthInput& dump, const RecordView& object) {
  if (dump.retained == nullptr) return object.subtree_size;
  VESKER_ASSIGN_OR_RETURN(std::optional<DominatorFacts> facts, dump.retained->facts(object.id));
  if (!facts) return std::nullopt;
  return facts->retained_size;
}

struct Grower {
  std::uint64_t id = 0;
  std::uint64_t growth = 0;
  std::int64_t own_growth = 0;
  Sizes sizes;
  std::uint64_t final_size() const { return *sizes.back(); }
};

// The runs of one object back through the dumps, one object of the last dump at a time.
class GrowthWalk {
 public:
  GrowthWalk(std::span<const GrowthInput> dumps, std::span<const IdOrderedRecords> records,
             std::span<HolderComparison> holders)
      : dumps_(dumps), records_(records), holders_(holders), sizes_(dumps.size()), own_sizes_(dumps.size()),
        rests_on_holders_(dumps.size()) {}

  // The sizes of the object of the last dump that every reader stands at, back through the dumps
  // that have the same object, when it grew without ever shrinking.
  Result<std::optional<Grower>> growth_of() {
    const std::size_t last = dumps_.size() - 1;
    std::ranges::fill(sizes_, std::nullopt);
    VESKER_ASSIGN_OR_RETURN(const RecordView* newest, records_[last].current());
    VESKER_ASSIGN_OR_RETURN(sizes_[last], size_of(dumps_[last], *newest));
    if (!sizes_[last]) return std::nullopt;
    own_sizes_[last] = newest->size;
    const std::uint64_t id = newest->id;
    std::size_t first = last;
    VESKER_TRY(walk_back(first, *newest));

    // Asking for holders costs lookups, so they are asked only where the answer matters: where
    // the newest change of size along the run is a growth. A run whose sizes all equal the last
    // one, or whose newest change is a shrink, holds no growth however it is cut.
    std::size_t changed = last;
    while (changed > first && *sizes_[changed - 1] == *sizes_[last]) --changed;
    if (changed == first || *sizes_[changed - 1] > *sizes_[last]) return std::nullopt;
    for (std::size_t link = last; link > first; --link) {
      if (!rests_on_holders_[link - 1]) continue;
      VESKER_ASSIGN_OR_RETURN(const bool held_alike, holders_[link - 1].held_alike(id));
      if (!held_alike) {
        first = link;
        break;
      }
    }
    for (std::size_t dump = first; dump < last; ++dump) {
      if (*sizes_[dump] > *sizes_[dump + 1]) return std::nullopt;
    }
    if (first == last || *sizes_[first] == *sizes_[last]) return std::nullopt;
    Sizes sizes(dumps_.size());
    std::copy(sizes_.begin() + static_cast<std::ptrdiff_t>(first), sizes_.end(),
              sizes.begin() + static_cast<std::ptrdiff_t>(first));
    const auto own_growth = static_cast<std::int64_t>(own_sizes_[last] - own_sizes_[first]);
    return Grower{id, *sizes_[last] - *sizes_[first], own_growth, std::move(sizes)};
  }

 private:
  // Moves `first` back over the dumps whose record can be the same object as the newer one's, as
  // far as the first shrink: the sizes and how each match was made are kept for `growth_of`.
  Status walk_back(std::size_t& first, const RecordView& newest) {
    const RecordView* oldest = &newest;
    while (first > 0) {
      const IdOrderedRecords& dump = records_[first - 1];
      // Bytes stored alike hold the same id, type and value: the same object, read once.
      const RecordView* earlier = oldest;
      bool rests_on_holders = false;
      if (dump.exhausted() || dump.stored() != records_[first].stored()) {
        VESKER_ASSIGN_OR_RETURN(earlier, dump.current());
        if (earlier == nullptr) break;
        const RecordMatch match =
            match_records(*earlier, *oldest, same_but_subtree_size(dump.stored(), records_[first].stored()));
        if (match == RecordMatch::different) break;
        rests_on_holders = match == RecordMatch::same_if_held_alike;
      }
      VESKER_ASSIGN_OR_RETURN(std::optional<std::uint64_t> size, size_of(dumps_[first - 1], *earlier));
      if (!size) break;
      const bool shrank = *size > *sizes_[first];
      --first;
      sizes_[first] = size;
      own_sizes_[first] = earlier->size;
      rests_on_holders_[first] = rests_on_holders;
      oldest = earlier;
      if (shrank) break;
    }
    return {};
  }

  std::span<const GrowthInput> dumps_;
  std::span<const IdOrderedRecords> records_;
  std::span<HolderComparison> holders_;  // one per pair of consecutive dumps
  // Along the current run, per dump: its size, its record's own size, and whether its match with
  // the next dump's record rests on the holders.
  Sizes sizes_;
  std::vector<std::uint64_t> own_sizes_;
  std::vector<bool> rests_on_holders_;
};

// Every object that grew, in id order, from one merge pass over all dumps.
Result<std::vector<Grower>> find_growers(std::span<const GrowthInput> dumps) {
  std::vector<IdOrderedRecords> records;
  records.reserve(dumps.size());
  for (const GrowthInput& dump : dumps) {
    VESKER_ASSIGN_OR_RETURN(IdOrderedRecords opened, IdOrderedRecords::open(*dump.store));
    records.push_back(std::move(opened));
  }
  std::vector<HolderComparison> holders;
  for (std::size_t i = 0; i + 1 < dumps.size(); ++i) {
    VESKER_ASSIGN_OR_RETURN(HolderComparison opened, HolderComparison::open(*dumps[i].store, *dumps[i + 1].store));
    holders.push_back(std::move(opened));
  }
  GrowthWalk walk(dumps, records, holders);
  std::vector<Grower> growers;
  for (;;) {
    std::uint64_t id = std::numeric_limits<std::uint64_t>::max();
    bool any = false;
    for (const IdOrderedRecords& dump : records) {
      if (!dump.exhausted()) {
        id = std::min(id, dump.id());
        any = true;
      }
    }
    if (!any) break;
    if (!records.back().exhausted() && records.back().id() == id) {
      VESKER_ASSIGN_OR_RETURN(std::optional<Grower> grower, walk.growth_of());
      if (grower) growers.push_back(std::move(*grower));
    }
    for (IdOrderedRecords& dump : records) {
      if (!dump.exhausted() && dump.id() == id) VESKER_TRY(dump.advance());
    }
  }
  return growers;
}

Result<std::string_view> stored_record(const Store& store, const Transaction& txn, std::uint64_t id) {
  const std::string_view key(reinterpret_cast<const char*>(&id), sizeof id);
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, key));
  if (!stored) return fail(Error::decoding("Decoding error: Missing record for ID " + std::to_string(id)));
  return *stored;
}

Result<ObjectRecordNoValue> record_of(const Store& store, const Transaction& txn, std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(std::string_view stored, stored_record(store, txn, id));
  auto record = decode_object_record_no_value(stored);
  if (!record) return fail(Error::decoding(record.error()));
  return std::move(*record);
}

}  // namespace

Result<Growth> find_growth(std::span<const GrowthInput> dumps, std::size_t limit) {
  if (dumps.size() < 3) internal_error("growth needs three or more dumps");
  VESKER_ASSIGN_OR_RETURN(std::vector<Grower> growers, find_growers(dumps));
  absl::flat_hash_map<std::uint64_t, std::size_t> grower_index;
  grower_index.reserve(growers.size());
  for (std::size_t i = 0; i < growers.size(); ++i) grower_index.emplace(growers[i].id, i);

  const Store& last = *dumps.back().store;
  VESKER_ASSIGN_OR_RETURN(Transaction txn, last.begin_read());
  std::vector<GrowerNode> nodes(growers.size());
  for (std::size_t i = 0; i < growers.size(); ++i) {
    VESKER_ASSIGN_OR_RETURN(ObjectRecordNoValue record, record_of(last, txn, growers[i].id));
    nodes[i] = GrowerNode{growers[i].id, growers[i].growth, growers[i].own_growth, {}};
    for (const std::uint64_t referent : record.references) {
      if (auto found = grower_index.find(referent); found != grower_index.end()) {
        nodes[i].referents.push_back(static_cast<std::uint32_t>(found->second));
      }
    }
  }
  std::vector<const Grower*> sources;
  for (const std::uint32_t source : growth_sources(nodes)) sources.push_back(&growers[source]);
  nodes.clear();

  Growth growth;
  growth.growing = growers.size();
  growth.sources = sources.size();
  const auto order = [](const Grower* a, const Grower* b) {
    return std::tuple(a->final_size(), b->id) > std::tuple(b->final_size(), a->id);
  };
  const std::size_t kept = std::min(limit, sources.size());
  std::ranges::partial_sort(sources, sources.begin() + static_cast<std::ptrdiff_t>(kept), order);
  for (const Grower* source : std::span(sources).first(kept)) {
    VESKER_ASSIGN_OR_RETURN(std::string_view stored, stored_record(last, txn, source->id));
    auto summary = decode_object_summary(stored);
    if (!summary) return fail(Error::decoding(summary.error()));
    growth.objects.push_back(GrowingObject{source->id, std::move(summary->type), std::move(summary->value), source->sizes});
  }
  return growth;
}

}  // namespace vesker
