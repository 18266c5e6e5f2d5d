#include "core/comparison/growth_sources.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace vesker {
namespace {

constexpr std::uint32_t kUnvisited = std::numeric_limits<std::uint32_t>::max();

bool passes_on(const GrowerNode& from, const GrowerNode& to) { return to.growth >= from.growth; }

}  // namespace

std::vector<std::uint32_t> growth_sources(std::span<const GrowerNode> growers) {
  const auto count = static_cast<std::uint32_t>(growers.size());
  std::vector<std::uint32_t> index(count, kUnvisited);
  std::vector<std::uint32_t> lowlink(count, 0);
  std::vector<std::uint32_t> component(count, kUnvisited);
  std::vector<bool> on_stack(count, false);
  std::vector<std::uint32_t> stack;
  struct Frame {
    std::uint32_t node;
    std::size_t next;
  };
  std::vector<Frame> frames;
  std::uint32_t next_index = 0;
  std::uint32_t components = 0;

  for (std::uint32_t root = 0; root < count; ++root) {
    if (index[root] != kUnvisited) continue;
    frames.push_back({root, 0});
    index[root] = lowlink[root] = next_index++;
    stack.push_back(root);
    on_stack[root] = true;
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const GrowerNode& node = growers[frame.node];
      if (frame.next < node.referents.size()) {
        const std::uint32_t to = node.referents[frame.next++];
        if (!passes_on(node, growers[to])) continue;
        if (index[to] == kUnvisited) {
          index[to] = lowlink[to] = next_index++;
          stack.push_back(to);
          on_stack[to] = true;
          frames.push_back({to, 0});
        } else if (on_stack[to]) {
          lowlink[frame.node] = std::min(lowlink[frame.node], index[to]);
        }
        continue;
      }
      const std::uint32_t finished = frame.node;
      frames.pop_back();
      if (!frames.empty()) lowlink[frames.back().node] = std::min(lowlink[frames.back().node], lowlink[finished]);
      if (lowlink[finished] != index[finished]) continue;
      std::uint32_t member;
      do {
        member = stack.back();
        stack.pop_back();
        on_stack[member] = false;
        component[member] = components;
      } while (member != finished);
      ++components;
    }
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
