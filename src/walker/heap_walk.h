// The native heap walk: the same lines as the pure-Python dumper's `_walk`,
// written through the project's record encoder, at native speed.
//
// Depth-first from the roots, each object once (closed over its references),
// skipping ids in `excluded`. Every object written is held until the walk
// ends, so that no id can be reused by a new object meanwhile. The lines go
// out in batches through a Python callable (a file's write method, which may
// release the interpreter lock like the Python dumper's writes do).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace vesker::walker {

struct WalkInputs {
  PyObject* roots;            // list
  PyObject* excluded;         // set of ids
  PyObject* frames;           // dict: id -> (references, size, names or None), frames read beforehand
  PyObject* frame_referents;  // callable for other frames: frame -> list
  PyObject* write;            // callable taking bytes
  PyObject* progress;         // callable taking the count written, or None
  PyObject* namer;            // callable (object, references) -> names or None; None: no names
  PyObject* closures;         // dict: id of a closure tuple -> its cells' names (the namer's)
  PyObject* class_only;       // callable type -> whether the namer names only `.__class__`
  PyObject* site;             // callable object -> str, the record's allocation site keys; None: no sites
  PyObject* attribute_referents;  // dict: type -> callable giving the referents of its instances
  bool python_sizeof = false;  // call __sizeof__ methods written in Python
};

struct WalkCounts {
  std::uint64_t written = 0;
  std::uint64_t dangling = 0;  // references to ids that got no record
};

// What was written, or nullopt with a Python error set.
std::optional<WalkCounts> walk_heap(const WalkInputs& inputs);

}  // namespace vesker::walker
