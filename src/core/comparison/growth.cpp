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

// The sizes of the object of the last dump that every reader stands at, back through the dumps
// that have the same object, when it grew without ever shrinking.
Result<std::optional<Grower>> growth_of(std::span<const GrowthInput> dumps, std::span<const IdOrderedRecords> records) {
  const std::size_t last = dumps.size() - 1;
  Sizes sizes(dumps.size());
  VESKER_ASSIGN_OR_RETURN(const RecordView* newest, records[last].current());
  VESKER_ASSIGN_OR_RETURN(sizes[last], size_of(dumps[last], *newest));
  if (!sizes[last]) return std::nullopt;
  std::size_t first = last;
  const RecordView* oldest = newest;
  while (first > 0) {
    const IdOrderedRecords& dump = records[first - 1];
    // Bytes stored alike hold the same id, type and value: the same object, read once.
    const RecordView* earlier = oldest;
    if (dump.exhausted() || dump.stored() != records[first].stored()) {
      VESKER_ASSIGN_OR_RETURN(earlier, dump.current());
      if (earlier == nullptr || !is_same_object(*earlier, *oldest)) break;
    }
    VESKER_ASSIGN_OR_RETURN(std::optional<std::uint64_t> size, size_of(dumps[first - 1], *earlier));
    if (!size) break;
    if (*size > *sizes[first]) return std::nullopt;
    sizes[--first] = size;
    oldest = earlier;
  }
  if (first == last || *sizes[first] == *sizes[last]) return std::nullopt;
  const auto own_growth = static_cast<std::int64_t>(newest->size - oldest->size);
  const std::uint64_t growth = *sizes[last] - *sizes[first];
  return Grower{newest->id, growth, own_growth, std::move(sizes)};
}

// Every object that grew, in id order, from one merge pass over all dumps.
Result<std::vector<Grower>> find_growers(std::span<const GrowthInput> dumps) {
  std::vector<IdOrderedRecords> records;
  records.reserve(dumps.size());
  for (const GrowthInput& dump : dumps) {
    VESKER_ASSIGN_OR_RETURN(IdOrderedRecords opened, IdOrderedRecords::open(*dump.store));
    records.push_back(std::move(opened));
  }
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
      VESKER_ASSIGN_OR_RETURN(std::optional<Grower> grower, growth_of(dumps, records));
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
