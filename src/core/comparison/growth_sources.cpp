#include "core/comparison/growth_sources.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "core/analysis/components.h"

namespace vesker {
namespace {

constexpr std::uint32_t kUnvisited = std::numeric_limits<std::uint32_t>::max();

bool passes_on(const GrowerNode& from, const GrowerNode& to) { return to.growth >= from.growth; }

}  // namespace

std::vector<std::uint32_t> growth_sources(std::span<const GrowerNode> growers) {
  const auto count = static_cast<std::uint32_t>(growers.size());
  std::vector<std::uint32_t> index(count);
  std::vector<std::uint32_t> lowlink(count);
  std::vector<std::uint32_t> component(count, kUnvisited);
  std::uint32_t components = 0;
  analysis::ComponentSearch search{
      std::span<std::uint32_t>(index), std::span<std::uint32_t>(lowlink),
      [&](std::uint32_t v) { return std::span<const std::uint32_t>(growers[v].referents); },
      [&](std::uint32_t from, std::uint32_t to) { return passes_on(growers[from], growers[to]); }};
  for (std::uint32_t root = 0; root < count; ++root) {
    search.from(root, [&](std::span<const std::uint32_t> members) {
      for (const std::uint32_t member : members) component[member] = components;
      ++components;
    });
  }

  // A component is a source when none of its members passes growth on outside it.
  std::vector<bool> leaks_out(components, false);
  std::vector<std::uint32_t> representative(components, kUnvisited);
  for (std::uint32_t i = 0; i < count; ++i) {
    for (const std::uint32_t to : growers[i].referents) {
      if (component[to] != component[i] && passes_on(growers[i], growers[to])) leaks_out[component[i]] = true;
    }
    std::uint32_t& chosen = representative[component[i]];
    if (chosen == kUnvisited || std::tuple(growers[i].own_growth, growers[chosen].id) >
                                    std::tuple(growers[chosen].own_growth, growers[i].id)) {
      chosen = i;
    }
  }
  std::vector<std::uint32_t> sources;
  for (std::uint32_t c = 0; c < components; ++c) {
    if (!leaks_out[c]) sources.push_back(representative[c]);
  }
  std::ranges::sort(sources);
  return sources;
}

}  // namespace vesker
