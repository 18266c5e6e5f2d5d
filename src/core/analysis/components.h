// Tarjan's strongly connected components: the one search behind every component finding of the
// code base, plain (each component's members) or with a fold that carries values up the search.
//
// Algorithm: Tarjan (1972), one depth-first search. Each vertex gets a discovery index and a
// lowlink, the smallest index it reaches through its subtree and one edge to a vertex still on the
// stack of members; a vertex whose lowlink stays its own index is the root of a component, whose
// members are the top of that stack down to it. Components finish in reverse topological order:
// after every component they reach. Why Tarjan rather than Kosaraju or the path-based searches:
// one pass over the edges and no reversed graph, and the finishing order is what the callers fold
// over (a component's value is complete once those it reaches are). The recursion is an explicit
// stack of frames, so chains millions of vertices deep need no native stack.
//
// Hooks. A fold sees the search at the five points where a value can travel: a vertex entered
// (its frame's carried value), an edge to a vertex of a component still open, an edge to a
// finished one, a child returning into its parent's component, and a component finished (with
// the carried value of its root and the frame of the root's parent, if any). The plain search is
// the fold that carries nothing and hands the members on.
//
// Memory: the caller lends the two arrays of the search, index and lowlink, 4 bytes a vertex each,
// so that a caller short of memory can reuse arrays of its own that are free while it searches;
// a finished vertex's lowlink is the caller's again (the search never reads it). Beyond them, 4
// bytes a vertex on the stack of members and a frame a level of the search's depth: the vertex and
// the position of its next successor (8 bytes), and the fold's carried value.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/common/error.h"

namespace vesker::analysis {

using Vertex = std::uint32_t;

// What a fold does at the points of the search; `Carried` travels with each vertex's frame.
//   enter(v): v is discovered; its frame carries the value returned (an error ends the search).
//   to_open(carried, w): an edge from the frame's vertex to w, whose component is still open.
//   to_finished(carried, w): an edge from the frame's vertex to w, whose component is finished.
//   returned(parent, child, v): v's frame is done and v is in its parent's component.
//   finished(members, root, parent): a component is finished, its members (the root, discovered
//     first, first) already marked so; `parent` is the frame of the root's parent, or null.
template <class F>
concept ComponentFold = requires(F& fold, Vertex v, typename F::Carried& carried, std::span<const Vertex> members) {
  { fold.enter(v) } -> std::same_as<Result<typename F::Carried>>;
  fold.to_open(carried, v);
  fold.to_finished(carried, v);
  fold.returned(carried, std::move(carried), v);
  { fold.finished(members, std::move(carried), &carried) } -> std::same_as<Status>;
};

struct NothingCarried {};

// The plain search's fold: the members of each component handed to `emit`, nothing carried.
template <class Emit>
struct EmitMembers {
  using Carried = NothingCarried;
  Emit& emit;
  Result<NothingCarried> enter(Vertex) const { return NothingCarried{}; }
  void to_open(NothingCarried&, Vertex) const noexcept {}
  void to_finished(NothingCarried&, Vertex) const noexcept {}
  void returned(NothingCarried&, NothingCarried&&, Vertex) const noexcept {}
  Status finished(std::span<const Vertex> members, NothingCarried&&, NothingCarried*) {
    emit(members);
    return {};
  }
};

// Finds the components of a graph over the vertices 0..n-1. `successors(v)` is a span of v's
// successors, fewer than 2^32 (a stored record holds fewer references than it has bytes); an edge
// to w counts only when `follows(v, w)`.
template <class Successors, class Follows, class Carried = NothingCarried>
class ComponentSearch {
 public:
  static constexpr Vertex kUnvisited = std::numeric_limits<Vertex>::max();
  static constexpr Vertex kFinished = kUnvisited - 1;

  ComponentSearch(std::span<Vertex> index, std::span<Vertex> lowlink, Successors successors, Follows follows)
      : index_(index), lowlink_(lowlink), successors_(std::move(successors)), follows_(std::move(follows)) {
    if (index_.size() >= kFinished) internal_error("too many vertices for the component search");
    std::ranges::fill(index_, kUnvisited);
  }

  bool visited(Vertex v) const noexcept { return index_[v] != kUnvisited; }
  // Whether v's component has been finished.
  bool finished(Vertex v) const noexcept { return index_[v] == kFinished; }

  // Emits every component reachable from `root` and not emitted before, each as the span of its
  // members (the first discovered first), marked finished before the call.
  template <class Emit>
    requires std::same_as<Carried, NothingCarried>
  void from(Vertex root, Emit&& emit) {
    EmitMembers<Emit> fold{emit};
    if (!fold_from(root, fold)) internal_error("a plain component search failed");
  }

  // The search from `root` with the fold's hooks; returns the first error of a hook unchanged.
  template <ComponentFold F>
    requires std::same_as<typename F::Carried, Carried>
  Status fold_from(Vertex root, F& fold) {
    if (visited(root)) return {};
    VESKER_TRY(enter(root, fold));
    while (!frames_.empty()) {
      Frame& frame = frames_.back();
      const auto successors = successors_(frame.vertex);
      if (frame.next < successors.size()) {
        const Vertex w = successors[frame.next++];
        if (!follows_(frame.vertex, w)) continue;
        if (!visited(w)) {
          VESKER_TRY(enter(w, fold));  // `frame` may move as the stack grows
        } else if (!finished(w)) {
          lowlink_[frame.vertex] = std::min(lowlink_[frame.vertex], index_[w]);
          fold.to_open(frame.carried, w);
        } else {
          fold.to_finished(frame.carried, w);
        }
        continue;
      }
      Frame done = std::move(frame);
      frames_.pop_back();
      Frame* parent = frames_.empty() ? nullptr : &frames_.back();
      if (lowlink_[done.vertex] != index_[done.vertex]) {
        // Not a root: it reached back above itself, so its parent exists and shares its component.
        if (parent == nullptr) internal_error("a component without its root");
        lowlink_[parent->vertex] = std::min(lowlink_[parent->vertex], lowlink_[done.vertex]);
        fold.returned(parent->carried, std::move(done.carried), done.vertex);
        continue;
      }
      const auto first = std::find(members_.rbegin(), members_.rend(), done.vertex).base() - 1;
      for (auto member = first; member != members_.end(); ++member) index_[*member] = kFinished;
      VESKER_TRY(fold.finished(std::span<const Vertex>(&*first, static_cast<std::size_t>(members_.end() - first)),
                               std::move(done.carried), parent == nullptr ? nullptr : &parent->carried));
      members_.erase(first, members_.end());
    }
    return {};
  }

 private:
  struct Frame {
    Vertex vertex;
    std::uint32_t next;  // position of its next successor
    [[no_unique_address]] Carried carried;
  };

  template <class F>
  Status enter(Vertex v, F& fold) {
    if (successors_(v).size() > std::numeric_limits<std::uint32_t>::max()) {
      internal_error("more successors than a frame counts");
    }
    VESKER_ASSIGN_OR_RETURN(Carried carried, fold.enter(v));
    index_[v] = lowlink_[v] = next_index_++;
    members_.push_back(v);
    frames_.push_back(Frame{v, 0, std::move(carried)});
    return {};
  }

  std::span<Vertex> index_;
  std::span<Vertex> lowlink_;
  Successors successors_;
  Follows follows_;
  std::vector<Frame> frames_;
  std::vector<Vertex> members_;  // of the components not finished yet
  Vertex next_index_ = 0;
};

}  // namespace vesker::analysis
