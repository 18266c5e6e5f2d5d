// Reachability in a heap graph by a plain search: the definition that dominators and what objects
// retain are checked against.
#pragma once

#include <vector>

#include "core/dominators/heap_graph.h"

namespace vesker::testing {

// Vertices reached from `starts` without entering `removed`.
inline std::vector<bool> reach(const dominators::HeapGraph& g, const std::vector<dominators::Vertex>& starts,
                               dominators::Vertex removed) {
  std::vector<bool> seen(g.vertex_count(), false);
  std::vector<dominators::Vertex> stack;
  for (const dominators::Vertex s : starts) {
    if (s != removed && !seen[s]) seen[s] = true, stack.push_back(s);
  }
  while (!stack.empty()) {
    const dominators::Vertex v = stack.back();
    stack.pop_back();
    for (const dominators::Vertex w : g.successors_of(v)) {
      if (w != removed && !seen[w]) seen[w] = true, stack.push_back(w);
    }
  }
  return seen;
}

}  // namespace vesker::testing
