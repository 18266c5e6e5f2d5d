#include "core/comparison/stable_paths.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <lmdb.h>

#include <algorithm>
#include <limits>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/codecs/index_values.h"
#include "core/codecs/object_record.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/dominators/retained_queries.h"

namespace vesker {
namespace {

constexpr std::uint32_t kNoParent = std::numeric_limits<std::uint32_t>::max();
constexpr std::string_view kKeyObject = "<key>";
constexpr std::string_view kNamespace = ".__dict__";

struct PathObject {
  std::uint64_t id = 0;
  std::uint32_t parent = kNoParent;  // the path this one extends
  std::uint32_t depth = 0;
  std::string path;
  PathHolding holding;
  bool missing = false;  // a reference to an id without a record: an incomplete dump holds nothing there
};

// `['name']` where name could be an attribute.
bool is_attribute_key(std::string_view name) {
  if (name.size() < 5 || !name.starts_with("['") || !name.ends_with("']")) return false;
  const std::string_view key = name.substr(2, name.size() - 4);
  if (key.front() >= '0' && key.front() <= '9') return false;
  return std::ranges::all_of(key, [](char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

std::string extended(std::string_view path, std::string_view name) {
  if (path.ends_with(kNamespace) && is_attribute_key(name)) {
    std::string out(path.substr(0, path.size() - kNamespace.size()));
    out += '.';
    out += name.substr(2, name.size() - 4);
    return out;
  }
  std::string out(path);
  out += name;
  return out;
}

Result<std::optional<std::string_view>> stored_record(const Transaction& txn, const Store& store, std::uint64_t id) {
  return txn.get(store.primary, IdBytes(id).view());
}

// The modules with a name, by name.
Result<std::vector<std::pair<std::string, std::uint64_t>>> named_modules(const Transaction& txn, const Store& store) {
  std::vector<std::pair<std::string, std::uint64_t>> modules;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.types));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET_KEY, kModuleTypeName));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, decode_id(entry->value));
    VESKER_ASSIGN_OR_RETURN(const auto stored, stored_record(txn, store, id));
    if (!stored) return fail(Error::decoding("Decoding error: Missing record for ID " + std::to_string(id)));
    auto summary = decode_object_summary(*stored);
    if (!summary) return fail(Error::decoding(summary.error()));
    if (summary->value && !summary->value->empty()) modules.emplace_back(std::move(*summary->value), id);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  std::ranges::sort(modules);
  return modules;
}

// Every object of one dump with a stable path, breadth first: parents before their children.
Result<std::vector<PathObject>> lay_paths(const StablePathInput& dump) {
  const AnalysisStore& store = *dump.store;
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  VESKER_ASSIGN_OR_RETURN(auto modules, named_modules(txn, store.store));
  std::vector<PathObject> objects;
  absl::flat_hash_set<std::uint64_t> reached;  // modules are reached from the start: no path enters one
  for (auto& [name, id] : modules) {
    if (reached.insert(id).second) objects.push_back(PathObject{.id = id, .path = std::move(name), .holding = {}});
  }
  for (std::uint32_t index = 0; index < objects.size(); ++index) {
    const std::uint64_t id = objects[index].id;
    const std::uint32_t depth = objects[index].depth;
    VESKER_ASSIGN_OR_RETURN(const auto stored, stored_record(txn, store.store, id));
    if (!stored) {
      objects[index].missing = true;
      continue;
    }
    auto record = decode_object_record_no_value(*stored);
    if (!record) return fail(Error::decoding(record.error()));
    VESKER_ASSIGN_OR_RETURN(auto names, dominators::read_reference_names(txn, store, id));
    if (!names) names.emplace();
    names->resize(record->references.size());

    PathHolding& holding = objects[index].holding;
    if (dump.retained != nullptr) {
      VESKER_ASSIGN_OR_RETURN(auto facts, dump.retained->facts(id));
      holding.size = facts ? facts->retained_size : 0;
    } else {
      holding.size = record->subtree_size.value_or(record->size);
    }
    std::size_t named = 0;
    for (const auto& name : *names) {
      if (name != kKeyObject) ++holding.items;
      if (name && *name != kKeyObject) ++named;
    }
    if (depth >= kMaxPathDepth || (depth > 1 && named > kMaxNamedMembers)) continue;
    for (std::size_t i = 0; i < record->references.size(); ++i) {
      const auto& name = (*names)[i];
      if (!name || *name == kKeyObject || !reached.insert(record->references[i]).second) continue;
      objects.push_back(PathObject{.id = record->references[i],
                                   .parent = index,
                                   .depth = depth + 1,
                                   .path = extended(objects[index].path, *name),
                                   .holding = {}});
    }
  }
  return objects;
}

}  // namespace

Result<std::vector<PathChange>> compare_stable_paths(const StablePathInput& old_dump, const StablePathInput& new_dump,
                                                     std::size_t limit) {
  if ((old_dump.retained == nullptr) != (new_dump.retained == nullptr))
    internal_error("retained facts for one side of a comparison only");
  VESKER_ASSIGN_OR_RETURN(const std::vector<PathObject> older, lay_paths(old_dump));
  VESKER_ASSIGN_OR_RETURN(const std::vector<PathObject> newer, lay_paths(new_dump));

  // Two objects may end on one text (an attribute and a namespace key of the same name): the
  // first laid keeps it on both sides.
  absl::flat_hash_map<std::string_view, PathHolding> old_holdings;
  for (const PathObject& object : older) {
    if (!object.missing) old_holdings.try_emplace(object.path, object.holding);
  }
  absl::flat_hash_set<std::string_view> seen;

  struct Grown {
    std::int64_t size = 0;
    std::int64_t items = 0;
    std::optional<PathHolding> old_side;
    bool covered = false;
  };
  std::vector<std::optional<Grown>> grown(newer.size());
  for (std::size_t i = 0; i < newer.size(); ++i) {
    if (newer[i].missing || !seen.insert(newer[i].path).second) continue;
    const auto old_side = old_holdings.find(newer[i].path);
    const PathHolding before = old_side == old_holdings.end() ? PathHolding{} : old_side->second;
    const auto size = static_cast<std::int64_t>(newer[i].holding.size - before.size);
    if (size <= 0) continue;
    grown[i] = Grown{.size = size,
                     .items = static_cast<std::int64_t>(newer[i].holding.items - before.items),
                     .old_side = old_side == old_holdings.end() ? std::nullopt : std::optional(before)};
  }
  for (std::size_t i = 0; i < newer.size(); ++i) {
    if (!grown[i]) continue;
    for (std::uint32_t above = newer[i].parent; above != kNoParent; above = newer[above].parent) {
      if (grown[above] && static_cast<double>(grown[i]->size) >= kCoveredShare * static_cast<double>(grown[above]->size))
        grown[above]->covered = true;
    }
  }

  std::vector<std::size_t> shown;
  for (std::size_t i = 0; i < newer.size(); ++i) {
    if (grown[i] && !grown[i]->covered) shown.push_back(i);
  }
  std::ranges::sort(shown, [&](std::size_t a, std::size_t b) {
    return std::tuple(-grown[a]->size, -grown[a]->items, std::string_view(newer[a].path)) <
           std::tuple(-grown[b]->size, -grown[b]->items, std::string_view(newer[b].path));
  });
  if (shown.size() > limit) shown.resize(limit);
  std::vector<PathChange> changes;
  changes.reserve(shown.size());
  for (const std::size_t i : shown) changes.push_back(PathChange{newer[i].path, grown[i]->old_side, newer[i].holding});
  return changes;
}

}  // namespace vesker
