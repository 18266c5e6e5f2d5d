"""Exact subtree sizes of a heap dump, computed in memory in plain Python.

This is what a capable Python user would write without our store, and it is
also the reference the differential tests compare the extension against.

The subtree size of an object o is the total `size` of every object reachable
from o, o included, each object counted once, where a reference is followed
only if its target has a record and that record's type is not
"builtins.module". A module object is still a node: it has a subtree size of
its own and its references are followed.

Method: strongly connected components (iterative Tarjan), then the components
in reverse topological order, each with the set of components it reaches,
built from the sets of its successors. A set is given up (or taken over and
extended in place) once the last component that needs it has been handled, so
memory follows the frontier of the traversal rather than the whole closure.

API:
    read_records(path) -> list[dict]           (JSON Lines, ".gz" allowed)
    exact_subtree_sizes(records) -> dict[int, int]

Run as a script:  python subtree_peer.py DUMP.jsonl[.gz]
"""

from __future__ import annotations

import argparse
import gzip
import json
import resource
import sys
import time
from typing import Iterable

__all__ = ["MODULE_TYPE", "read_records", "exact_subtree_sizes"]

MODULE_TYPE = "builtins.module"


def read_records(path: str) -> list[dict]:
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return [json.loads(line) for line in f]


def _graph(records: Iterable[dict]):
    """Nodes in ascending id order, their sizes and their followable successors."""
    latest: dict[int, dict] = {}
    for record in records:
        latest[record["id"]] = record  # a later record of the same id replaces the earlier one
    ids = sorted(latest)
    position = {oid: n for n, oid in enumerate(ids)}
    sizes = [latest[oid]["size"] for oid in ids]
    followable = [latest[oid]["type"] != MODULE_TYPE for oid in ids]
    successors = []
    for oid in ids:
        out = []
        for target in latest[oid]["references"]:
            n = position.get(target)
            if n is not None and followable[n]:
                out.append(n)
        successors.append(out)
    return ids, sizes, successors


def _components(successors: list[list[int]]) -> tuple[list[int], list[list[int]]]:
    """Tarjan's algorithm without recursion.

    Returns the component number of every node and the members of every
    component; components are numbered in the order they finish, so every
    component only reaches components with smaller numbers.
    """
    count = len(successors)
    index = [-1] * count
    lowlink = [0] * count
    on_stack = [False] * count
    component = [-1] * count
    members: list[list[int]] = []
    stack: list[int] = []
    next_index = 0
    for start in range(count):
        if index[start] >= 0:
            continue
        index[start] = lowlink[start] = next_index
        next_index += 1
        stack.append(start)
        on_stack[start] = True
        path = [(start, 0)]
        while path:
            node, k = path[-1]
            succ = successors[node]
            if k < len(succ):
                path[-1] = (node, k + 1)
                child = succ[k]
                if index[child] < 0:
                    index[child] = lowlink[child] = next_index
                    next_index += 1
                    stack.append(child)
                    on_stack[child] = True
                    path.append((child, 0))
                elif on_stack[child] and index[child] < lowlink[node]:
                    lowlink[node] = index[child]
                continue
            path.pop()
            if path:
                parent = path[-1][0]
                if lowlink[node] < lowlink[parent]:
                    lowlink[parent] = lowlink[node]
            if lowlink[node] == index[node]:
                number = len(members)
                group = []
                while True:
                    member = stack.pop()
                    on_stack[member] = False
                    component[member] = number
                    group.append(member)
                    if member == node:
                        break
                members.append(group)
    return component, members


def exact_subtree_sizes(records: Iterable[dict]) -> dict[int, int]:
    """Map every object id to its exact subtree size (see the module text)."""
    ids, sizes, successors = _graph(records)
    component, members = _components(successors)
    count = len(members)

    weight = [0] * count
    targets: list[list[int]] = []
    waiting = [0] * count  # components that still have to read this one's set
    for c, group in enumerate(members):
        weight[c] = sum(sizes[n] for n in group)
        out = {component[s] for n in group for s in successors[n]}
        out.discard(c)
        targets.append(list(out))
        for d in out:
            waiting[d] += 1

    total = [0] * count
    reached: list[set[int] | None] = [None] * count
    for c in range(count):
        succ = targets[c]
        for d in succ:
            waiting[d] -= 1
        if succ:
            base_of = max(succ, key=lambda d: len(reached[d]))
            if waiting[base_of] == 0:
                acc = reached[base_of]  # nobody else reads it: extend it in place
                reached[base_of] = None
            else:
                acc = set(reached[base_of])
            acc_size = total[base_of]
            for d in succ:
                if d == base_of:
                    continue
                new = reached[d] - acc
                if new:
                    acc_size += sum(map(weight.__getitem__, new))
                    acc |= new
                if waiting[d] == 0:
                    reached[d] = None
        else:
            acc = set()
            acc_size = 0
        acc.add(c)
        total[c] = acc_size + weight[c]
        if waiting[c]:
            reached[c] = acc
    return {oid: total[component[n]] for n, oid in enumerate(ids)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Exact subtree sizes of a dump, in plain Python.")
    parser.add_argument("dump", help="JSON Lines heap dump (.gz allowed)")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    records = read_records(args.dump)
    loaded = time.perf_counter()
    sizes = exact_subtree_sizes(records)
    done = time.perf_counter()
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"objects: {len(sizes)}")
    print(f"read+json: {loaded - start:.2f} s")
    print(f"subtree sizes: {done - loaded:.2f} s")
    print(f"total: {done - start:.2f} s")
    print(f"peak RSS: {peak_mib:.0f} MiB")
    print(f"sum of subtree sizes: {sum(sizes.values())}")
    print(f"largest subtree size: {max(sizes.values(), default=0)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
