#include "core/dominators/dominator_tree.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/analysis/components.h"

namespace vesker::dominators {
namespace {

constexpr Vertex kNone = std::numeric_limits<Vertex>::max();
constexpr std::uint64_t kProgressStep = 1 << 16;

// The preorder numbering of step 1. The search's own state lives in two arrays that the later
// steps reuse: `cursor` (by preorder number: the next successor to look at) and `stack`.
struct Search {
  const HeapGraph& graph;
  std::vector<Vertex>& pre;     // by vertex
  std::vector<Vertex>& order;   // by preorder number
  std::vector<Vertex>& parent;  // by preorder number
  std::vector<Vertex>& cursor;
  std::vector<Vertex>& stack;

  void enter(Vertex v, Vertex parent_number, std::size_t& depth) {
    const auto p = static_cast<Vertex>(order.size());
    pre[v] = p;
    order.push_back(v);
    parent[p] = parent_number;
    cursor[p] = 0;
    stack[depth++] = p;
  }

  // Numbers everything reachable from `start`, a child of the root not numbered yet.
  Status from(Vertex start, Progress& progress, std::uint64_t total) {
    std::size_t depth = 0;
    enter(start, 0, depth);
    while (depth > 0) {
      const Vertex p = stack[depth - 1];
      const auto successors = graph.successors_of(order[p]);
      if (cursor[p] == successors.size()) {
        --depth;
        continue;
      }
      const Vertex w = successors[cursor[p]++];
      if (pre[w] != kNone) continue;
      enter(w, p, depth);
      if (order.size() % kProgressStep == 0) VESKER_TRY(progress.report(order.size(), total));
    }
    return {};
  }
};

// The smallest vertex of every source component among the vertices not numbered yet; the
// search borrows `index` and `lowlink`, by vertex.
std::vector<Vertex> unreached_source_components(const HeapGraph& graph, const std::vector<Vertex>& pre,
                                                std::vector<Vertex>& index, std::vector<Vertex>& lowlink) {
  std::vector<Vertex> representatives;
  // An edge from the root's reach is no part of the remainder.
  analysis::ComponentSearch search{std::span<Vertex>(index), std::span<Vertex>(lowlink),
                                   [&](Vertex v) { return graph.successors_of(v); },
                                   [&](Vertex, Vertex w) { return pre[w] == kNone; }};
  for (Vertex start = 1; start < graph.vertex_count(); ++start) {
    if (pre[start] != kNone) continue;
    search.from(start, [&](std::span<const Vertex> members) {
      // Components finish after every component they reach, so a referrer outside this one
      // that is in the remainder has not finished: the component is a source unless one exists.
      for (const Vertex member : members) {
        for (const Vertex referrer : graph.predecessors_of(member)) {
          if (pre[referrer] == kNone && !search.finished(referrer)) return;
        }
      }
      representatives.push_back(std::ranges::min(members));
    });
  }
  std::sort(representatives.begin(), representatives.end());
  return representatives;
}

// One vertex's slot of the forest that step 2 links up: its ancestor link and the smallest
// semidominator on its path, side by side because the compression reads them together.
struct ForestSlot {
  Vertex ancestor;
  Vertex label;
};

// Lengauer-Tarjan's eval over the forest of the vertices numbered above `current`: the smallest
// semidominator on the path from q (linked) up to its tree's root, exclusive, compressing the
// path. The first walk points each ancestor link down the path; the second walks back down,
// folding the minimum in from above and hanging every vertex under the tree's root.
Vertex eval(Vertex q, Vertex current, std::vector<ForestSlot>& forest) {
  if (forest[q].ancestor <= current) return forest[q].label;
  Vertex x = q;
  Vertex below = kNone;
  while (forest[x].ancestor > current) {
    const Vertex up = forest[x].ancestor;
    forest[x].ancestor = below;
    below = x;
    x = up;
  }
  const Vertex tree_root = forest[x].ancestor;
  Vertex above = x;
  for (Vertex y = below; y != kNone;) {
    ForestSlot& slot = forest[y];
    const Vertex next = slot.ancestor;
    slot.label = std::min(slot.label, forest[above].label);
    slot.ancestor = tree_root;
    above = y;
    y = next;
  }
  return forest[q].label;
}

template <class T>
void release(std::vector<T>& array) {
  std::vector<T>().swap(array);
}

// `releasable` is `graph` or null: with it, arrays are released once no later step reads them.
Result<DominatorTree> dominator_tree(const HeapGraph& graph, HeapGraph* releasable, Progress& progress) {
  const Vertex count = graph.vertex_count();
  const std::uint64_t total = 3ull * count;
  DominatorTree tree;
  tree.flags.assign(count, 0);
  for (Vertex v = 1; v < count; ++v) {
    if (graph.predecessor_offsets[v] == graph.predecessor_offsets[v + 1] || graph.is_module[v]) {
      tree.flags[v] |= kRootEdge;
    }
  }

  // Step 1, and the extra root edges for what the first search leaves over.
  std::vector<Vertex> pre(count, kNone);
  std::vector<Vertex>& order = tree.vertex;
  order.reserve(count);
  std::vector<Vertex> parent(count);
  std::vector<Vertex> semi(count);
  std::vector<Vertex> label(count);
  Search search{graph, pre, order, parent, semi, label};
  pre[kRoot] = 0;
  order.push_back(kRoot);
  parent[0] = 0;
  for (Vertex v = 1; v < count; ++v) {
    if ((tree.flags[v] & kRootEdge) && pre[v] == kNone) VESKER_TRY(search.from(v, progress, total));
  }
  if (order.size() < count) {
    const std::size_t first_unreachable = order.size();
    for (Vertex v : unreached_source_components(graph, pre, semi, label)) {
      tree.flags[v] |= kRootEdge;
      VESKER_TRY(search.from(v, progress, total));
    }
    for (std::size_t p = first_unreachable; p < order.size(); ++p) tree.flags[order[p]] |= kUnreachable;
    tree.unreachable_count = order.size() - first_unreachable;
  }
  if (order.size() != count) internal_error("the root does not reach every object");

  if (releasable != nullptr) {
    release(releasable->successor_offsets);
    release(releasable->successors);
    release(releasable->is_module);
  }

  // Step 2: semidominators, in reverse preorder.
  std::vector<Vertex>().swap(label);
  std::vector<ForestSlot> forest(count);
  for (Vertex p = 0; p < count; ++p) {
    forest[p] = {parent[p], p};
    semi[p] = p;
  }
  for (Vertex i = count - 1; i >= 1; --i) {
    if (i % kProgressStep == 0) VESKER_TRY(progress.report(total / 3 + (count - i), total));
    const Vertex w = order[i];
    Vertex s = (tree.flags[w] & kRootEdge) ? 0 : i;
    for (Vertex referrer : graph.predecessors_of(w)) {
      const Vertex q = pre[referrer];
      s = std::min(s, q <= i ? q : eval(q, i, forest));
    }
    semi[i] = forest[i].label = s;
  }
  std::vector<Vertex>().swap(pre);
  std::vector<ForestSlot>().swap(forest);
  if (releasable != nullptr) {
    release(releasable->predecessor_offsets);
    release(releasable->predecessors);
  }

  // Step 3: immediate dominators, in preorder, in place of the parents.
  for (Vertex i = 1; i < count; ++i) {
    Vertex d = parent[i];
    while (d > semi[i]) d = parent[d];
    parent[i] = d;
  }
  std::vector<Vertex>().swap(semi);
  tree.idom = std::move(parent);

  // Step 4: retained sizes, children before their dominators.
  tree.retained.resize(count);
  for (Vertex p = 0; p < count; ++p) tree.retained[p] = graph.sizes[order[p]];
  for (Vertex p = count - 1; p >= 1; --p) tree.retained[tree.idom[p]] += tree.retained[p];
  if (releasable != nullptr) release(releasable->sizes);
  VESKER_TRY(progress.report(total, total));
  return tree;
}

}  // namespace

Result<DominatorTree> compute_dominator_tree(const HeapGraph& graph, Progress& progress) {
  return dominator_tree(graph, nullptr, progress);
}

Result<DominatorTree> compute_dominator_tree_releasing_graph(HeapGraph& graph, Progress& progress) {
  return dominator_tree(graph, &graph, progress);
}

ChildLists child_lists(std::span<const Vertex> parent) {
  const auto count = static_cast<Vertex>(parent.size());
  ChildLists lists;
  lists.offsets.assign(static_cast<std::size_t>(count) + 1, 0);
  for (Vertex node = 1; node < count; ++node) ++lists.offsets[parent[node] + 1];
  for (Vertex node = 0; node < count; ++node) lists.offsets[node + 1] += lists.offsets[node];
  lists.children.resize(count > 0 ? count - 1 : 0);
  std::vector<Vertex> fill(lists.offsets.begin(), lists.offsets.end() - 1);
  for (Vertex node = 1; node < count; ++node) lists.children[fill[parent[node]]++] = node;
  return lists;
}

DominatorTreeByVertex tree_by_vertex(const HeapGraph& graph, DominatorTree&& tree, ChildLists&& children) {
  const auto count = static_cast<Vertex>(tree.vertex.size());
  DominatorTreeByVertex result;
  result.flags = std::move(tree.flags);
  result.retained.resize(count);
  for (Vertex p = 0; p < count; ++p) result.retained[tree.vertex[p]] = tree.retained[p];
  release(tree.retained);
  result.idom.resize(count);
  for (Vertex p = 1; p < count; ++p) result.idom[tree.vertex[p]] = tree.vertex[tree.idom[p]];
  release(tree.idom);
  ChildLists& by_vertex = result.children;
  by_vertex.offsets.assign(static_cast<std::size_t>(count) + 1, 0);
  for (Vertex p = 0; p < count; ++p) by_vertex.offsets[tree.vertex[p] + 1] = children.of(p).size();
  for (Vertex v = 0; v < count; ++v) by_vertex.offsets[v + 1] += by_vertex.offsets[v];
  by_vertex.children.resize(children.children.size());
  for (Vertex p = 0; p < count; ++p) {
    Vertex at = by_vertex.offsets[tree.vertex[p]];
    for (const Vertex child : children.of(p)) by_vertex.children[at++] = tree.vertex[child];
  }
  release(children.offsets);
  release(children.children);
  release(tree.vertex);
  for (Vertex v = 0; v < count; ++v) {
    std::sort(by_vertex.children.begin() + by_vertex.offsets[v], by_vertex.children.begin() + by_vertex.offsets[v + 1],
              [&](Vertex a, Vertex b) {
                if (result.retained[a] != result.retained[b]) return result.retained[a] > result.retained[b];
                return graph.ids[a] < graph.ids[b];
              });
  }
  return result;
}

void for_each_topmost_of_label(const DominatorTree& tree, const ChildLists& children,
                               std::span<const std::uint32_t> labels, std::size_t label_count,
                               const std::function<void(Vertex, std::uint32_t)>& visit) {
  // A walk down and up the tree that keeps, per label, how many objects of that label are on the
  // path from the root: an object is topmost when none is.
  const auto count = static_cast<Vertex>(tree.vertex.size());
  if (count == 0) return;
  std::vector<Vertex> next_child(children.offsets.begin(), children.offsets.end() - 1);
  std::vector<std::uint32_t> on_path(label_count, 0);
  Vertex current = 0;
  for (;;) {
    if (next_child[current] < children.offsets[current + 1]) {
      current = children.children[next_child[current]++];
      const std::uint32_t label = labels[tree.vertex[current]];
      if (label < label_count && on_path[label]++ == 0) visit(current, label);
      continue;
    }
    if (current == 0) break;
    const std::uint32_t label = labels[tree.vertex[current]];
    if (label < label_count) --on_path[label];
    current = tree.idom[current];
  }
}

std::vector<std::uint64_t> retained_by_type(const HeapGraph& graph, const DominatorTree& tree,
                                            const ChildLists& children) {
  std::vector<std::uint64_t> once(graph.type_names.size(), 0);
  for_each_topmost_of_label(tree, children, graph.types, graph.type_names.size(),
                            [&](Vertex p, std::uint32_t type) { once[type] += tree.retained[p]; });
  return once;
}

}  // namespace vesker::dominators
