#include "core/waste/heap_waste.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "absl/container/flat_hash_map.h"
#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/labels/object_labels.h"

namespace vesker::waste {
namespace {

// The dumper writes at most this many characters of a value.
constexpr std::size_t kValueLimit = 200;
constexpr std::uint64_t kBytesHeader = 33;
constexpr std::uint64_t kListHeader = 56;
constexpr std::uint64_t kSlot = 8;
constexpr std::uint64_t kMinimumSpareSlots = 8;

constexpr std::string_view kStr = "builtins.str";
constexpr std::string_view kBytes = "builtins.bytes";
constexpr std::string_view kList = "builtins.list";
constexpr std::string_view kDict = "builtins.dict";
constexpr std::string_view kSizedTypes[] = {kList, kDict, "builtins.set"};

bool complete_value(std::string_view type, std::string_view value, std::uint64_t size) {
  if (type == kBytes) return size >= kBytesHeader && size - kBytesHeader <= kValueLimit;
  std::size_t code_points = 0;
  for (const char c : value) code_points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return code_points < kValueLimit;
}

Result<std::vector<std::uint64_t>> ids_of_type(const Transaction& txn, const AnalysisStore& store,
                                               std::string_view type) {
  std::vector<std::uint64_t> ids;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.store.types));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET_KEY, type));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, decode_id(entry->value));
    ids.push_back(id);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return ids;
}

struct Copies {
  std::uint64_t count = 0;
  std::uint64_t sample = 0;
  std::vector<std::uint64_t> ids;  // the first few, for their holders
};

class WasteFinder {
 public:
  WasteFinder(const Transaction& txn, const AnalysisStore& store, const WasteOptions& options,
              Progress cancellation)
      : txn_(txn), store_(store), options_(options), names_(txn, store), cancellation_(std::move(cancellation)) {}

  Result<WasteReport> run() {
    VESKER_TRY(find_duplicates(kStr));
    VESKER_TRY(find_duplicates(kBytes));
    VESKER_TRY(finish_duplicates());
    for (const std::string_view type : kSizedTypes) VESKER_TRY(find_container_waste(type));
    VESKER_TRY(finish_containers());
    return std::move(report_);
  }

 private:
  Status find_duplicates(std::string_view type) {
    VESKER_ASSIGN_OR_RETURN(const auto ids, ids_of_type(txn_, store_, type));
    // Keyed by size and value; one type at a time.
    absl::flat_hash_map<std::pair<std::uint64_t, std::string>, Copies> groups;
    for (const std::uint64_t id : ids) {
      VESKER_TRY(cancellation_.poll());
      VESKER_ASSIGN_OR_RETURN(const auto stored, txn_.get(store_.store.primary, IdBytes(id).view()));
      if (!stored) continue;
      auto summary = decode_object_summary(*stored);
      if (!summary) return fail(Error::decoding(summary.error()));
      // A record replaced by a later one of another type keeps its old index row.
      if (summary->type != type || !summary->value || !complete_value(type, *summary->value, summary->size)) continue;
      Copies& copies = groups[std::pair{summary->size, std::move(*summary->value)}];
      if (copies.count++ == 0) copies.sample = id;
      if (copies.ids.size() < kHolderSample) copies.ids.push_back(id);
    }
    for (auto& [key, copies] : groups) {
      if (copies.count < 2) continue;
      DuplicateGroup group{std::string(type), key.second, key.first, copies.count, (copies.count - 1) * key.first,
                           copies.sample, {}};
      report_.duplicate_saving += group.saving;
      ++report_.duplicate_groups;
      found_duplicates_.emplace_back(std::move(group), std::move(copies.ids));
    }
    return {};
  }

  Status finish_duplicates() {
    auto& found = found_duplicates_;
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return std::tie(b.first.saving, a.first.type, a.first.value) < std::tie(a.first.saving, b.first.type, b.first.value);
    });
    if (found.size() > options_.limit) found.resize(options_.limit);
    for (auto& [group, ids] : found) {
      absl::flat_hash_map<std::string, std::uint64_t> counts;
      for (const std::uint64_t id : ids) {
        VESKER_ASSIGN_OR_RETURN(std::string label, names_.holder(id));
        ++counts[label];
      }
      for (auto& [label, count] : counts) group.holders.push_back(Holder{label, count});
      std::sort(group.holders.begin(), group.holders.end(), [](const Holder& a, const Holder& b) {
        return std::tie(b.count, a.label) < std::tie(a.count, b.label);
      });
      if (group.holders.size() > options_.holders_per_group) group.holders.resize(options_.holders_per_group);
      report_.duplicates.push_back(std::move(group));
    }
    return {};
  }

  Status find_container_waste(std::string_view type) {
    VESKER_ASSIGN_OR_RETURN(const auto ids, ids_of_type(txn_, store_, type));
    struct Sized {
      std::uint64_t id, length, size;
    };
    std::vector<Sized> sized;
    sized.reserve(ids.size());
    absl::flat_hash_map<std::uint64_t, std::uint64_t> smallest;  // length -> smallest size
    const std::uint64_t per_element = type == kDict ? 2 : 1;
    for (const std::uint64_t id : ids) {
      VESKER_TRY(cancellation_.poll());
      VESKER_ASSIGN_OR_RETURN(const ObjectRecordNoValue record, names_.record(id));
      if (record.type != type) continue;
      const Sized item{id, record.references.size() / per_element, record.size};
      sized.push_back(item);
      auto [found, added] = smallest.try_emplace(item.length, item.size);
      if (!added) found->second = std::min(found->second, item.size);
    }
    for (const Sized& item : sized) {
      VESKER_TRY(cancellation_.poll());
      if (item.length == 0) {
        VESKER_TRY(add(ContainerWaste::kEmpty, type, item.id, item.size, item.size));
        report_.empty_saving += item.size;
        ++report_.empty_count;
      } else if (type == kList) {
        const std::uint64_t capacity = item.size >= kListHeader ? (item.size - kListHeader) / kSlot : 0;
        const std::uint64_t spare = capacity > item.length ? capacity - item.length : 0;
        if (spare > item.length && spare >= kMinimumSpareSlots) {
          VESKER_TRY(add(ContainerWaste::kOverAllocated, type, item.id, item.size, spare * kSlot));
          report_.over_allocated_saving += spare * kSlot;
          ++report_.over_allocated_count;
        }
      } else if (const std::uint64_t least = smallest.at(item.length); item.size > 2 * least) {
        VESKER_TRY(add(ContainerWaste::kSparse, type, item.id, item.size, item.size - least));
        report_.sparse_saving += item.size - least;
        ++report_.sparse_count;
      }
    }
    return {};
  }

  Status add(ContainerWaste kind, std::string_view type, std::uint64_t id, std::uint64_t size, std::uint64_t saving) {
    VESKER_ASSIGN_OR_RETURN(std::string holder, names_.holder(id));
    auto [found, added] = container_index_.try_emplace(std::tuple{kind, std::string(type), holder}, containers_.size());
    if (added) containers_.push_back(ContainerGroup{kind, std::string(type), std::move(holder), 0, 0, 0, id});
    ContainerGroup& group = containers_[found->second];
    ++group.count;
    group.size += size;
    group.saving += saving;
    return {};
  }

  Status finish_containers() {
    std::sort(containers_.begin(), containers_.end(), [](const ContainerGroup& a, const ContainerGroup& b) {
      return std::tie(b.saving, a.kind, a.type, a.holder) < std::tie(a.saving, b.kind, b.type, b.holder);
    });
    absl::flat_hash_map<ContainerWaste, std::uint64_t> listed;
    for (ContainerGroup& group : containers_) {
      if (listed[group.kind]++ < options_.limit) report_.containers.push_back(std::move(group));
    }
    return {};
  }

  static constexpr std::size_t kHolderSample = 100;

  const Transaction& txn_;
  const AnalysisStore& store_;
  const WasteOptions& options_;
  labels::ObjectLabeler names_;
  Progress cancellation_;
  WasteReport report_;
  std::vector<std::pair<DuplicateGroup, std::vector<std::uint64_t>>> found_duplicates_;
  std::vector<ContainerGroup> containers_;
  absl::flat_hash_map<std::tuple<ContainerWaste, std::string, std::string>, std::size_t> container_index_;
};

}  // namespace

Result<WasteReport> find_waste(const Transaction& txn, const AnalysisStore& store, const WasteOptions& options,
                               Progress cancellation) {
  return WasteFinder(txn, store, options, std::move(cancellation)).run();
}

}  // namespace vesker::waste
