// Where growth happens, among objects that all grew: growth shows in every object above the one
// that grows (the module, its namespace, the instance that owns a cache), so a grower that
// refers to another grower that grew at least as much only passes that growth on.
//
// These "passes on to" edges form a graph over the growers. Its strongly connected components
// are found with Tarjan's algorithm (an explicit stack; chains may be long); a component with no
// edge leaving it is a place where growth happens. Subtree sizes put whole cycles of objects
// (a class, its methods, their module namespace, the instances) in one component, all with the
// same growth, so each such component is represented by the member whose own size grew most: the
// container that itself got bigger.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vesker {

struct GrowerNode {
  std::uint64_t id = 0;
  std::uint64_t growth = 0;      // final size less first size
  std::int64_t own_growth = 0;   // final direct size less first direct size
  std::vector<std::uint32_t> referents;  // indexes of growers it refers to
};

// The indexes of the representatives of the components that pass nothing on, in index order.
std::vector<std::uint32_t> growth_sources(std::span<const GrowerNode> growers);

}  // namespace vesker
