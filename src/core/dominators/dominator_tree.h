// The dominator tree of a heap graph and the retained size of every object.
//
// Object d dominates object x when every path from the roots to x passes through d; the
// retained size of d is the total size of the objects it dominates, itself included: what would
// be freed if d alone went away. The immediate dominator of x is its closest strict dominator;
// these edges form a tree whose root is the virtual root, and a vertex's retained size is its
// own size plus the retained sizes of its children in that tree.
//
// Roots. The virtual root has an edge to every object without a referrer (thread frames, objects
// held only from C) and to every module (held by the interpreter's module table). Whatever these
// do not reach is a set of reference cycles nothing outside them refers to, garbage that the
// next collection would free: the root also gets an edge to the smallest vertex of every source
// component among them, and every vertex reached only that way is marked unreachable.
//
// Algorithm: semi-NCA (Georgiadis, Tarjan, Werneck, "Finding dominators in practice", 2006).
//  1. An iterative depth-first search from the root numbers the vertices in preorder and
//     records each one's tree parent. All later steps work on preorder numbers.
//  2. In reverse preorder, each vertex w gets its semidominator: the smallest preorder number
//     among its predecessors v when v < w, or, when v > w, among the semidominators on the
//     already processed tree path from v upward. That path minimum is the `eval` of
//     Lengauer-Tarjan over a forest linked vertex by vertex, with path compression; the
//     compression walks up reversing the ancestor links and comes back down along them, so it
//     needs no stack however long the path.
//  3. In preorder, the immediate dominator of w is the nearest common ancestor of its parent
//     and its semidominator in the dominator tree built so far: start at the parent and climb
//     immediate dominators while the current vertex comes after the semidominator.
//  4. In reverse preorder, every vertex adds its retained size to its immediate dominator's.
// Why semi-NCA rather than the full Lengauer-Tarjan: it drops the buckets and the second
// relative-dominator pass, so it needs one array fewer and one pass fewer, and Georgiadis et
// al. found it as fast or faster on large graphs; the NCA climb is short on heap graphs, where
// dominator trees are shallow. Iterative Cooper-Harvey-Kennedy was not chosen: it is quadratic
// in the worst case and repeats whole passes until nothing changes.
//
// Memory beyond the graph: during step 2 four 4-byte arrays (preorder to vertex, vertex to
// preorder, parents, semidominators) and the forest's ancestor links and path minima, kept side
// by side because the compression reads them together; then the vertices, immediate dominators
// and an 8-byte array of retained sizes. 24 bytes a vertex at the peak, plus one byte of flags.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/common/error.h"
#include "core/dominators/heap_graph.h"

namespace vesker::dominators {

enum VertexFlags : std::uint8_t {
  kRootEdge = 1,     // the virtual root refers to it
  kUnreachable = 2,  // reached only through an edge the root got for an unreferenced cycle
};

// Indexed by preorder number p (the root is 0) rather than by vertex, which spares a second copy
// of every array; a dominator always comes before the vertices it dominates.
struct DominatorTree {
  std::vector<Vertex> vertex;            // by p: the vertex
  std::vector<Vertex> idom;              // by p: the preorder number of its immediate dominator
  std::vector<std::uint64_t> retained;   // by p; retained[0] = the total size of all objects
  std::vector<std::uint8_t> flags;       // by vertex: VertexFlags
  std::uint64_t unreachable_count = 0;
};

// Work units reported to `progress`: three per vertex. Stops with the error `progress` returns.
Result<DominatorTree> compute_dominator_tree(const HeapGraph& graph, Progress& progress);
// The same, releasing the graph's arrays as soon as no step reads them any more: the successors
// after step 1, the predecessors after step 2, the sizes and module marks at the end (its ids,
// types and type names stay): step 2 then holds 17 bytes a vertex of a heap-shaped graph fewer
// beside its own 25, below step 1's 21 beside the whole graph.
Result<DominatorTree> compute_dominator_tree_releasing_graph(HeapGraph& graph, Progress& progress);

// The children of every node of a tree over the nodes 0..n-1 rooted at 0, built once from the
// nodes' parents by counting: 8 bytes a node.
struct ChildLists {
  std::vector<Vertex> offsets;   // n + 1 entries
  std::vector<Vertex> children;  // node k's are children[offsets[k] .. offsets[k + 1]), ascending
  std::span<const Vertex> of(Vertex node) const noexcept {
    return {children.data() + offsets[node], children.data() + offsets[node + 1]};
  }
};

// `parent` by node; parent[0] (the root's) is not read. Each parent comes before its children.
ChildLists child_lists(std::span<const Vertex> parent);

// The tree by vertex rather than by preorder number: what the retained sizes' writes read, in the
// order they read it (vertices are numbered in id order, the key order of the databases).
struct DominatorTreeByVertex {
  std::vector<Vertex> idom;              // by vertex: its immediate dominator's vertex (0: the root)
  std::vector<std::uint64_t> retained;   // by vertex
  std::vector<std::uint8_t> flags;       // by vertex: VertexFlags
  ChildLists children;                   // by vertex: by retained size (largest first), then id
};
// Consumes the tree and its children lists (by preorder number, from child_lists(tree.idom)),
// array by array, so that little more than one copy exists at a time; the lists are renumbered,
// not built again.
DominatorTreeByVertex tree_by_vertex(const HeapGraph& graph, DominatorTree&& tree, ChildLists&& children);

// The retained size of each type counted once: the total size of the objects that some object
// of the type dominates (itself included), by type number. `children` from child_lists(tree.idom).
std::vector<std::uint64_t> retained_by_type(const HeapGraph& graph, const DominatorTree& tree,
                                            const ChildLists& children);

// Visits, in preorder, every object with a label below `label_count` that no other object of the
// same label dominates (`labels` by vertex; a larger label means none): the objects whose retained
// sizes add up to the label's retained size counted once. `visit(p, label)` gets preorder numbers.
// The walk follows `children`, from child_lists(tree.idom): in preorder numbers, a node's children
// and their subtrees lie close together, which the walk's random reads need.
void for_each_topmost_of_label(const DominatorTree& tree, const ChildLists& children,
                               std::span<const std::uint32_t> labels, std::size_t label_count,
                               const std::function<void(Vertex, std::uint32_t)>& visit);

}  // namespace vesker::dominators
