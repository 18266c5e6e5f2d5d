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
  kCallable,      // a Python function gives them (objects holding more than they traverse)
};

// How instances of a type are measured without running code of the program:
// the first __sizeof__ along the type's method resolution order that is
// written in C (a Python-level one may record the call, as a mock does, or
// allocate), called directly, plus what sys.getsizeof adds in front of the
// object (the collector's header, and two words for a managed dict).
struct SizeRule {
  PyObject* method = nullptr;   // the method descriptor (borrowed from the type's dict)
  PyCFunction direct = nullptr;  // its function when it takes no arguments
  std::size_t header = 0;
  bool per_object_header = false;  // classes: a header only when they are heap types
  bool through_getsizeof = false;  // a Python-level __sizeof__ the caller opted in to
};

struct TypeFacts {
  std::string name;  // "module.QualName"
  ValueKind value_kind = ValueKind::kNone;
  ReferentsKind referents_kind = ReferentsKind::kNone;
  SizeRule size_rule;
  PyObject* referents_function = nullptr;  // kCallable's, borrowed from the walk's inputs
  // Whether the namer names no reference of an instance but its class (a plain
  // instance whose attributes are inline or in a dict left unnamed): asked once.
  std::optional<bool> names_only_class;
};

// Never fails: names that cannot be read fall back as in the Python dumper.
// `gc_header` is what sys.getsizeof adds for an object the collector tracks.
TypeFacts describe_type(PyTypeObject* type, std::size_t gc_header, bool python_sizeof);

// The value text, or nullopt where the dumper writes null (also when reading
// the value raised: the error is cleared).
std::optional<std::string> render_value(ValueKind kind, PyObject* object);

}  // namespace vesker::walker
