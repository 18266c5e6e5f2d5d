// What the objects made at each allocation site weigh: how many there are, their own sizes, and
// the memory they keep alive counted once, with the holders that keep most of it.
//
// A site's retained size follows the rule the per-type totals use: the total size of the objects
// that some object of the site dominates, itself included. An object dominated by another object
// of the same site adds nothing of its own (it is inside that object's retained size already), so
// a linked list made at one line counts its memory once, not once per node. An object that only
// two objects of the site hold together, and neither alone, is not counted: its immediate
// dominator lies above both.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/dominators/dominator_tree.h"
#include "core/dominators/heap_graph.h"

namespace vesker::sites {

using dominators::Vertex;

// The label of an object whose allocation site is unknown.
inline constexpr std::uint32_t kNoSite = std::numeric_limits<std::uint32_t>::max();

struct SiteHolder {
  Vertex holder = 0;  // a vertex of the graph (0: the roots), the nearest dominator outside the site
  std::uint64_t retained = 0;  // of the site's memory, what this holder keeps alive
};

struct SiteTotals {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  std::uint64_t retained = 0;
  std::vector<SiteHolder> holders;  // largest first, at most the number asked for
};

struct SiteReport {
  std::vector<SiteTotals> sites;  // by site number
  SiteTotals unknown;             // the objects without a site (no retained size, no holders)
};

// `site_of` gives each vertex's site number below `site_count`, or kNoSite (by vertex; the root's
// slot is ignored).
SiteReport site_totals(const dominators::HeapGraph& graph, const dominators::DominatorTree& tree,
                       std::span<const std::uint32_t> site_of, std::uint32_t site_count, std::size_t holders_per_site);

}  // namespace vesker::sites
