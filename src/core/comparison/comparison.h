// Two dumps side by side: per type what each holds, and, when both come from one process, which
// objects are new and what holds them.
//
// Both stores are read in id order in one merge pass. Within one process an id that appears in
// both dumps is one object when `match_records` says so, asking the holders where it must (see
// object_identity.h); otherwise the old object died and the new one was born at its address.
// Across processes ids mean nothing, so only the per-type totals are compared. Memory grows with
// the number of types and of new objects, never with the objects that stayed.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/comparison/retained_facts.h"
#include "core/store/store.h"

namespace vesker {

struct Totals {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  std::uint64_t retained = 0;  // summed retained sizes, 0 without retained facts

  void add(std::uint64_t object_size, std::uint64_t object_retained) {
    ++count;
    size += object_size;
    retained += object_retained;
  }
  void add(const Totals& other) {
    count += other.count;
    size += other.size;
    retained += other.retained;
  }
};

struct TypeChange {
  std::string type;
  Totals old_side;
  Totals new_side;
  Totals added;    // objects of the new dump that the old one did not have (one process only)
  Totals removed;  // objects of the old dump that are gone (one process only)
};

// The site number of an object whose allocation site is unknown.
inline constexpr std::uint32_t kUnknownSite = std::numeric_limits<std::uint32_t>::max();

// New objects at the top of new subtrees, of one type, held by objects of one type that the old
// dump had already: "+41,200 x app.Response, +62.1 MiB, held by a dict". The holder is the
// nearest dominator with retained facts, else a referrer. Where the new dump recorded
// allocation sites, the tops of one group were also made at one site.
struct HeldGroup {
  std::string type;
  std::optional<std::uint32_t> site;
  std::string holder_type;  // empty: held straight from the roots
  std::uint64_t holders = 0;
  std::uint64_t largest_holder = 0;  // the holder that keeps the most new memory of the group
  std::uint64_t count = 0;           // the tops of the group
  std::uint64_t size = 0;            // their own sizes
  std::uint64_t held_count = 0;      // every new object below them, the tops included
  std::uint64_t held_size = 0;
};

// The new objects made at one allocation site (none: of unknown site).
struct SiteGrowth {
  std::optional<std::uint32_t> site;
  std::uint64_t count = 0;
  std::uint64_t size = 0;
};

struct Comparison {
  bool same_process = false;
  bool retained = false;
  std::vector<TypeChange> types;  // in type name order
  TypeChange total;
  std::vector<HeldGroup> held;  // most new memory first; one process only
  std::vector<SiteGrowth> added_sites;  // most new memory first; one process with sites only
};

// Which objects of the new dump were made where: ascending ids and their site numbers.
struct SitesOfObjects {
  std::span<const std::uint64_t> ids;
  std::span<const std::uint32_t> sites;

  bool empty() const { return ids.empty(); }
  std::uint32_t site_of(std::uint64_t id) const;  // kUnknownSite when not listed
};

struct ComparisonOptions {
  bool same_process = false;
  const RetainedFacts* old_retained = nullptr;  // both or neither
  const RetainedFacts* new_retained = nullptr;
  SitesOfObjects new_sites = {};  // empty: the new dump recorded none
};

Result<Comparison> compare_stores(const Store& old_store, const Store& new_store, const ComparisonOptions& options);

}  // namespace vesker
