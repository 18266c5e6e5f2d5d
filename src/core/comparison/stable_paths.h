// Where two dumps of different processes hold their memory, named so that a restart keeps the name.
//
// Ids mean nothing across processes, but the names along the references often do: module
// `app.cache`, its attribute `cache`, that object's attribute `_store`, the key 'sessions' of that
// dict: `app.cache.cache._store['sessions']`. A stable path starts at a module (named by its value)
// and follows only references that the dump named. Paths are laid breadth first from every module
// in name order, and an object keeps the first path that reaches it, a shortest one, so one program
// gives its objects the same paths in every process. A module's namespace dict shows as attributes:
// `app.cache.cache`, not `app.cache.__dict__['cache']`.
//
// What a path holds is its object's retained size where both stores have retained facts, else its
// subtree size (its own size where that was not computed), and its items: its references without
// a dict's key objects (a dict's values, a list's items, an instance's attributes).
//
// Memory follows the program's structure, not its data. Paths go at most `kMaxPathDepth`
// references below a module, never into another module (the root of paths of its own) nor through
// a dict's key objects, and the members of an object with more than `kMaxNamedMembers` named
// references get no paths of their own: there the names are data (session ids, user names) rather
// than structure. A module's namespace is exempt from that last bound.
//
// Growth shows in every path above the one where it happens. A path is left out when one path
// below it accounts for at least `kCoveredShare` of its growth, so the list names the places that
// grew rather than the chains above them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/comparison/retained_facts.h"
#include "core/store/analysis_store.h"

namespace vesker {

inline constexpr std::size_t kMaxPathDepth = 6;
inline constexpr std::size_t kMaxNamedMembers = 256;
inline constexpr double kCoveredShare = 0.9;

struct PathHolding {
  std::uint64_t size = 0;   // retained, else subtree size
  std::uint64_t items = 0;
};

struct PathChange {
  std::string path;
  std::optional<PathHolding> old_side;  // nothing when the earlier dump has no object there
  PathHolding new_side;
};

struct StablePathInput {
  const AnalysisStore* store = nullptr;
  const RetainedFacts* retained = nullptr;  // both sides or neither
};

// The paths of the later dump whose held size grew, largest growth first (then most new items,
// then by path), at most `limit` of them.
Result<std::vector<PathChange>> compare_stable_paths(const StablePathInput& old_dump, const StablePathInput& new_dump,
                                                     std::size_t limit);

}  // namespace vesker
