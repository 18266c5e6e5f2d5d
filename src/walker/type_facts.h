// What the heap walk needs to know of a type, resolved once per type: its
// dump name, how its values are shown and how its references are found. The
// rules are those of the pure-Python dumper (python/vesker/dumper.py), which
// stays the reference: a difference between the two is a fault of this one.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace vesker::walker {

// Values are for people reading a listing, not for reconstructing objects.
inline constexpr Py_ssize_t kValueLimit = 200;

enum class ValueKind { kNone, kStr, kBytes, kInt, kBool, kFloat, kComplex, kFunctionName,
                       kBuiltinName, kClassName, kModuleName };

enum class ReferentsKind {
  kNone,          // not a container: holds no references the collector knows of
  kTraverse,      // the collector's own traversal (tp_traverse)
  kDictItems,     // a plain dict: each key, then its value, in order
  kDictSubclass,  // the traversal plus the keys the collector skips
  kFrame,         // running frames keep their locals out of the traversal
  kTraceback,     // the traversal without the dumper's own frames
  kCode,          // code objects are not traversed at all
};

struct TypeFacts {
  std::string name;  // "module.QualName"
  ValueKind value_kind = ValueKind::kNone;
  ReferentsKind referents_kind = ReferentsKind::kNone;
};

// Never fails: names that cannot be read fall back as in the Python dumper.
TypeFacts describe_type(PyTypeObject* type);

// The value text, or nullopt where the dumper writes null (also when reading
// the value raised: the error is cleared).
std::optional<std::string> render_value(ValueKind kind, PyObject* object);

}  // namespace vesker::walker
