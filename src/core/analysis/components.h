// Tarjan's strongly connected components, plain: each component's members and nothing folded
// over them (`tarjan.h` folds values over the components as it finds them).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace vesker::analysis {

// Finds the components of a graph over the vertices 0..n-1 by Tarjan's algorithm with an
// explicit call stack, so chains millions of vertices deep need no native stack.
// `successors(v)` is a span of v's successors; an edge to w counts only when `follows(v, w)`.
// The caller lends the two arrays of the search (n entries each, by vertex), so that a caller
// short of memory can reuse arrays of its own that are free while it searches.
template <class Successors, class Follows>
class ComponentSearch {
 public:
  static constexpr std::uint32_t kUnvisited = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::uint32_t kFinished = kUnvisited - 1;

  ComponentSearch(std::span<std::uint32_t> index, std::span<std::uint32_t> lowlink, Successors successors,
                  Follows follows)
      : index_(index), lowlink_(lowlink), successors_(std::move(successors)), follows_(std::move(follows)) {
    std::ranges::fill(index_, kUnvisited);
  }

  bool visited(std::uint32_t v) const noexcept { return index_[v] != kUnvisited; }
  // Whether v's component has been emitted.
  bool finished(std::uint32_t v) const noexcept { return index_[v] == kFinished; }

  // Emits every component reachable from `root` and not emitted before, each as the span of its
  // members (the component's first discovered member first), marked finished before the call.
  // Components come in reverse topological order: after every component they reach.
  template <class Emit>
  void from(std::uint32_t root, Emit&& emit) {
    if (visited(root)) return;
    enter(root);
    while (!calls_.empty()) {
      auto& [u, next] = calls_.back();
      const auto successors = successors_(u);
      if (next < successors.size()) {
        const std::uint32_t w = successors[next++];
        if (!follows_(u, w)) continue;
        if (!visited(w)) {
          enter(w);  // `u` and `next` may move as the stack grows
        } else if (!finished(w)) {
          lowlink_[u] = std::min(lowlink_[u], index_[w]);
        }
        continue;
      }
      const std::uint32_t finished_vertex = u;
      calls_.pop_back();
      if (!calls_.empty()) {
        std::uint32_t& caller = lowlink_[calls_.back().first];
        caller = std::min(caller, lowlink_[finished_vertex]);
      }
      if (lowlink_[finished_vertex] != index_[finished_vertex]) continue;
      const auto first = std::find(members_.rbegin(), members_.rend(), finished_vertex).base() - 1;
      for (auto member = first; member != members_.end(); ++member) index_[*member] = kFinished;
      emit(std::span<const std::uint32_t>(&*first, static_cast<std::size_t>(members_.end() - first)));
      members_.erase(first, members_.end());
    }
  }

 private:
  void enter(std::uint32_t v) {
    index_[v] = lowlink_[v] = next_index_++;
    members_.push_back(v);
    calls_.emplace_back(v, 0);
  }

  std::span<std::uint32_t> index_;
  std::span<std::uint32_t> lowlink_;
  Successors successors_;
  Follows follows_;
  std::vector<std::pair<std::uint32_t, std::size_t>> calls_;  // vertex, position of its next successor
  std::vector<std::uint32_t> members_;                        // of the components not finished yet
  std::uint32_t next_index_ = 0;
};

}  // namespace vesker::analysis
