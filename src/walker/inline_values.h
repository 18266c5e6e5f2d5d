// The attributes an instance keeps inline, read without creating its __dict__.
//
// CPython 3.13 and later keep the attributes of most instances in an array
// after the object, keyed by the class's shared keys, until someone asks for
// the instance's __dict__; asking creates the dict, a change to the object and
// to the process. No interface reads the array otherwise, so this reads the
// layout of those two structures (the same in 3.13 and 3.14; free-threaded
// builds differ and are left out): each value with its key.
#pragma once

#include <Python.h>

#include <functional>

namespace vesker::walker {

// Calls `each(name, value)` for every inline attribute of `object`; false
// when the object keeps none inline (no such layout, or its dict holds them).
bool for_each_inline_attribute(PyObject* object,
                               const std::function<void(PyObject*, PyObject*)>& each);

// The instance's __dict__ (borrowed) if someone asked for it, else null; never creates one.
// While the attributes stay inline the dict shares them, and the collector's traversal of the
// instance reports the attributes but not the dict, which so looks held by nothing.
PyObject* managed_dict(PyObject* object);

}  // namespace vesker::walker
