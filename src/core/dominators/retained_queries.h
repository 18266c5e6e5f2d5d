// Questions answered from the stored retained sizes: the largest retainers, the dominator tree
// below an object, why an object is alive, and the per-type totals.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "core/codecs/index_values.h"
#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/store/analysis_store.h"

namespace vesker::dominators {

struct RetainedFacts {
  std::uint64_t id = 0;
  std::optional<std::uint64_t> idom;  // nothing when the virtual root is the immediate dominator
  std::uint64_t retained = 0;
  std::uint8_t flags = 0;  // StoredFlags
};

// The facts of object `id` from its entry in the dominators database (keyed by id, in id order).
Result<RetainedFacts> decode_retained(std::uint64_t id, std::string_view value);

// The stored facts of one object, or nothing when it has none.
Result<std::optional<RetainedFacts>> read_retained(const Transaction& txn, const AnalysisStore& store, std::uint64_t id);

// Objects of one type (or of "All Types") by retained size, largest first: rows offset .. offset + limit.
Result<std::vector<SizeIndexEntry>> top_retained(const Transaction& txn, const AnalysisStore& store,
                                                 std::string_view type, std::uint64_t offset, std::uint64_t limit);

// The objects that `parent` (nothing: the virtual root) immediately dominates, largest first.
Result<std::vector<SizeIndexEntry>> dominated_by(const Transaction& txn, const AnalysisStore& store,
                                                 std::optional<std::uint64_t> parent);

// One row of the dominator tree below an object: one child, or every child of one type merged.
struct TreeRow {
  std::optional<std::uint64_t> id;  // nothing for a merged row
  std::string type;
  std::optional<std::string> value;
  std::uint64_t count = 1;
  std::uint64_t size = 0;
  std::uint64_t retained = 0;
};

// The children of `parent`, largest first; children of one type are merged into one row unless
// the type is in `expand` or the type has one child there. At most `limit` rows.
Result<std::vector<TreeRow>> dominator_tree_rows(const Transaction& txn, const AnalysisStore& store,
                                                 std::optional<std::uint64_t> parent,
                                                 const absl::flat_hash_set<std::string>& expand, std::uint64_t limit,
                                                 Progress cancellation = {});

// The immediate dominators from the root's child down to `id`, both included; nothing when the
// object has no stored facts.
Result<std::optional<std::vector<std::uint64_t>>> dominator_chain(const Transaction& txn, const AnalysisStore& store,
                                                                  std::uint64_t id);

// A shortest chain of references from an object the virtual root refers to, down to `id`, both
// included; nothing when the object has no stored facts. Found backwards along the referrers.
Result<std::optional<std::vector<std::uint64_t>>> shortest_root_path(const Transaction& txn,
                                                                     const AnalysisStore& store, std::uint64_t id,
                                                                     Progress cancellation = {});

// The retained size of every type counted once, by type name.
Result<std::vector<std::pair<std::string, std::uint64_t>>> type_retained(const Transaction& txn,
                                                                         const AnalysisStore& store);

// Names of references, as the dump gives them: parallel to the object's references, each
// possibly absent.
using ReferenceNames = std::vector<std::optional<std::string>>;
Status put_reference_names(Transaction& txn, const AnalysisStore& store, std::uint64_t id, const ReferenceNames& names);
// The names of the references of `id`, or nothing when the dump named none of them.
Result<std::optional<ReferenceNames>> read_reference_names(const Transaction& txn, const AnalysisStore& store,
                                                          std::uint64_t id);
// The name of the reference from `from` to `to`, if `from` refers to `to` and the dump named it.
Result<std::optional<std::string>> reference_name(const Transaction& txn, const AnalysisStore& store,
                                                  std::uint64_t from, std::uint64_t to);

}  // namespace vesker::dominators
