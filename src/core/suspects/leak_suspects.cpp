#include "core/suspects/leak_suspects.h"

#include <xxhash.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "absl/container/flat_hash_map.h"
#include "absl/strings/string_view.h"
#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/codecs/stored_fields.h"
#include "core/common/byte_order.h"
#include "core/dominators/retained_queries.h"
#include "core/labels/object_labels.h"
#include "core/queries/object_lookup.h"

namespace vesker::suspects {
namespace {

// Deep chains (linked lists) are walked only this far, as the accumulation point lies above.
constexpr std::size_t kMaxDescent = 1000;

class TypeReader {
 public:
  static Result<TypeReader> open(const Transaction& txn, const AnalysisStore& store) {
    VESKER_ASSIGN_OR_RETURN(Cursor records, Cursor::open(txn, store.store.primary));
    return TypeReader(txn, store, std::move(records));
  }

  // The type of `id`, read from the stored record without decoding it when it can be.
  Result<std::string> type_of(std::uint64_t id) {
    VESKER_ASSIGN_OR_RETURN(auto stored, records_.seek(MDB_SET_KEY, IdBytes(id).view()));
    if (stored) {
      if (const auto type = stored_type(stored->value)) return std::string(*type);
    }
    VESKER_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(store_.store, txn_, id));
    return std::move(summary.type);
  }

 private:
  TypeReader(const Transaction& txn, const AnalysisStore& store, Cursor records)
      : txn_(txn), store_(store), records_(std::move(records)) {}
  const Transaction& txn_;
  const AnalysisStore& store_;
  Cursor records_;
};

// What `parent` immediately dominates, merged by type, largest total first.
Result<std::vector<HeldGroup>> groups_below(const std::vector<SizeIndexEntry>& children, TypeReader& types,
                                            Progress& cancellation) {
  std::vector<HeldGroup> groups;
  absl::flat_hash_map<std::string, std::size_t> by_type;
  for (const SizeIndexEntry& child : children) {
    VESKER_TRY(cancellation.poll());
    VESKER_ASSIGN_OR_RETURN(std::string type, types.type_of(child.id));
    auto [found, added] = by_type.try_emplace(type, groups.size());
    if (added) groups.push_back(HeldGroup{std::move(type), 0, 0, child.id});
    HeldGroup& group = groups[found->second];
    ++group.count;
    group.retained += child.size;
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const HeldGroup& a, const HeldGroup& b) { return a.retained > b.retained; });
  return groups;
}

class SuspectFinder {
 public:
  SuspectFinder(const Transaction& txn, const AnalysisStore& store, const SuspectOptions& options, TypeReader types,
                Progress cancellation)
      : txn_(txn), store_(store), options_(options), types_(std::move(types)), cancellation_(std::move(cancellation)) {}

  Result<SuspectReport> run() {
    VESKER_ASSIGN_OR_RETURN(const auto roots, dominators::dominated_by(txn_, store_, std::nullopt));
    for (const auto& root : roots) report_.heap += root.size;
    threshold_ = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(options_.threshold * static_cast<double>(report_.heap))));
    for (const auto& root : roots) {
      if (root.size < threshold_) break;
      VESKER_TRY(walk(root.id, root.size, {}));
    }
    VESKER_TRY(add_root_groups(roots));
    std::stable_sort(report_.suspects.begin(), report_.suspects.end(),
                     [](const Suspect& a, const Suspect& b) { return a.retained > b.retained; });
    for (Suspect& suspect : report_.suspects) VESKER_TRY(describe_path(suspect));
    return std::move(report_);
  }

 private:
  // Goes down from `id` while one child keeps most of it; every child above the threshold is
  // walked too, and the object is a suspect where its memory spreads out.
  Status walk(std::uint64_t id, std::uint64_t retained, std::vector<std::uint64_t> descent) {
    VESKER_TRY(cancellation_.poll());
    descent.push_back(id);
    VESKER_ASSIGN_OR_RETURN(const auto children, dominators::dominated_by(txn_, store_, id));
    const bool concentrated = !children.empty() && descent.size() < kMaxDescent &&
                              static_cast<double>(children.front().size) >=
                                  options_.big_drop_ratio * static_cast<double>(retained);
    std::uint64_t walked = 0;
    for (const auto& child : children) {
      const bool leads = concentrated && &child == &children.front();
      if ((child.size < threshold_ && !leads) || descent.size() >= kMaxDescent) break;
      walked += child.size;
      VESKER_TRY(walk(child.id, child.size, descent));
    }
    if (concentrated || retained - std::min(retained, walked) < threshold_) return {};
    Suspect suspect;
    suspect.id = id;
    suspect.retained = retained;
    suspect.descent = std::move(descent);
    VESKER_ASSIGN_OR_RETURN(auto groups, groups_below(children, types_, cancellation_));
    if (!groups.empty()) suspect.held = std::move(groups.front());
    report_.suspects.push_back(std::move(suspect));
    return {};
  }

  // Top-level objects of one type that together, and only together, hold the threshold.
  Status add_root_groups(const std::vector<SizeIndexEntry>& roots) {
    std::vector<SizeIndexEntry> small;
    for (const auto& root : roots) {
      if (root.size < threshold_) small.push_back(root);
    }
    VESKER_ASSIGN_OR_RETURN(const auto groups, groups_below(small, types_, cancellation_));
    for (const HeldGroup& group : groups) {
      if (group.retained < threshold_) break;
      // The interpreter's own structure (modules, their namespaces, classes, functions) all hangs
      // off the roots; only the program's own types are a group worth suspecting there.
      if (group.count < 2 || group.type.starts_with("builtins.")) continue;
      Suspect suspect;
      suspect.id = group.sample;
      suspect.retained = group.retained;
      suspect.count = group.count;
      suspect.descent = {group.sample};
      suspect.held = group;
      report_.suspects.push_back(std::move(suspect));
    }
    return {};
  }

  // The module whose `__dict__` is `dict`, if any: a running frame's globals and a function's
  // are the same dict, and the module is the name a reader knows it by.
  Result<std::optional<std::uint64_t>> namespace_module(std::uint64_t dict) {
    VESKER_ASSIGN_OR_RETURN(Cursor referrers, Cursor::open(txn_, store_.store.referrers));
    VESKER_ASSIGN_OR_RETURN(auto entry, referrers.seek(MDB_SET_KEY, IdBytes(dict).view()));
    while (entry) {
      VESKER_TRY(cancellation_.poll());
      VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
      VESKER_ASSIGN_OR_RETURN(const std::string type, types_.type_of(referrer));
      if (type == kModuleTypeName) {
        VESKER_ASSIGN_OR_RETURN(const auto name, dominators::reference_name(txn_, store_, referrer, dict));
        if (name == ".__dict__") return referrer;
      }
      VESKER_ASSIGN_OR_RETURN(entry, referrers.move(MDB_NEXT_DUP));
    }
    return std::nullopt;
  }

  // A shortest path from a root, begun at a module where it passes through a module's namespace.
  Result<std::vector<std::uint64_t>> named_root_path(std::uint64_t id) {
    VESKER_ASSIGN_OR_RETURN(const auto found, dominators::shortest_root_path(txn_, store_, id, cancellation_));
    if (!found) return std::vector<std::uint64_t>{};
    std::vector<std::uint64_t> path = *found;
    for (std::size_t i = 1; i + 1 < path.size(); ++i) {
      VESKER_ASSIGN_OR_RETURN(const std::string type, types_.type_of(path[i]));
      if (type != "builtins.dict") continue;
      VESKER_ASSIGN_OR_RETURN(const auto module, namespace_module(path[i]));
      if (!module || *module == path[i - 1]) continue;
      path.erase(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(i));
      path.insert(path.begin(), *module);
      break;
    }
    return path;
  }

  Status describe_path(Suspect& suspect) {
    VESKER_ASSIGN_OR_RETURN(suspect.path, named_root_path(suspect.id));
    suspect.names.resize(suspect.path.size());
    std::string text;
    for (std::size_t i = 0; i < suspect.path.size(); ++i) {
      VESKER_ASSIGN_OR_RETURN(const std::string type, types_.type_of(suspect.path[i]));
      if (i > 0) {
        VESKER_ASSIGN_OR_RETURN(suspect.names[i],
                                dominators::reference_name(txn_, store_, suspect.path[i - 1], suspect.path[i]));
        text += suspect.names[i] ? labels::mask_digits(*suspect.names[i]) : std::string("?");
        text += " -> ";
      }
      text += type;
    }
    if (suspect.count > 1) text += " (each of a group)";
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(XXH3_64bits(text.data(), text.size())));
    suspect.signature = hex;
    suspect.signature_text = std::move(text);
    return {};
  }

  const Transaction& txn_;
  const AnalysisStore& store_;
  const SuspectOptions& options_;
  TypeReader types_;
  Progress cancellation_;
  std::uint64_t threshold_ = 1;
  SuspectReport report_;
};

}  // namespace

Result<SuspectReport> find_suspects(const Transaction& txn, const AnalysisStore& store, const SuspectOptions& options,
                                    Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(TypeReader types, TypeReader::open(txn, store));
  return SuspectFinder(txn, store, options, std::move(types), std::move(cancellation)).run();
}

}  // namespace vesker::suspects
