// The `vesker._walker` extension module: the native heap walk behind
// vesker.dumper.dump_heap(native=True). The Python side gathers the roots and
// reads the running frames; this module walks and writes.
#include <Python.h>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/module.h"
#include "binding/py_ref.h"
#include "walker/heap_walk.h"
#include "walker/inline_values.h"

namespace vesker::walker {
namespace {

using binding::Arguments;
using binding::PyRef;

// A dict argument that may be left out: an empty one then, owned by `empty`.
Result<PyObject*> dict_or_empty(PyObject* object, const char* name, PyRef& empty) {
  if (object != nullptr) return binding::to_instance(object, &PyDict_Type, name);
  empty = PyRef::steal(PyDict_New());
  if (!empty) return fail(binding::pending());
  return empty.get();
}

constexpr const char* kWalkParameters[] = {"roots",      "excluded",      "frames", "frame_referents",
                                           "write",      "progress",      "namer",  "closures",
                                           "class_only", "python_sizeof", "site",   "attribute_referents"};
constexpr binding::Signature kWalk{"walk", kWalkParameters, 6, 6};

Result<PyObject*> walk(PyObject*, Arguments<12> arguments) {
  WalkInputs inputs{};
  VESKER_ASSIGN_OR_RETURN(inputs.roots, binding::to_instance(arguments[0], &PyList_Type, "roots"));
  inputs.excluded = arguments[1];
  VESKER_ASSIGN_OR_RETURN(inputs.frames, binding::to_instance(arguments[2], &PyDict_Type, "frames"));
  inputs.frame_referents = arguments[3];
  inputs.write = arguments[4];
  inputs.progress = arguments[5];
  inputs.namer = arguments[6] != nullptr ? arguments[6] : Py_None;
  PyRef no_closures;
  VESKER_ASSIGN_OR_RETURN(inputs.closures, dict_or_empty(arguments[7], "closures", no_closures));
  inputs.class_only = arguments[8] != nullptr ? arguments[8] : Py_None;
  VESKER_ASSIGN_OR_RETURN(inputs.python_sizeof,
                          binding::or_default(arguments[9], false, "python_sizeof", binding::to_truth));
  inputs.site = arguments[10] != nullptr ? arguments[10] : Py_None;
  PyRef no_attribute_referents;
  VESKER_ASSIGN_OR_RETURN(inputs.attribute_referents,
                          dict_or_empty(arguments[11], "attribute_referents", no_attribute_referents));
  if (inputs.site != Py_None && !PyCallable_Check(inputs.site)) {
    return fail(binding::argument_check(PyExc_TypeError, "site must be callable or None"));
  }
  if (inputs.namer != Py_None && !PyCallable_Check(inputs.class_only)) {
    return fail(binding::argument_check(PyExc_TypeError, "a namer needs class_only"));
  }
  const std::optional<WalkCounts> counts = walk_heap(inputs);
  if (!counts) return fail(binding::pending());
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->written),
                       static_cast<unsigned long long>(counts->dangling));
}

constexpr const char* kObjectParameter[] = {"object"};
constexpr binding::Signature kInlineAttributes{"inline_attributes", kObjectParameter, 1, 0, 1};

PyObject* inline_attributes(PyObject*, Arguments<1> arguments) {
  PyRef pairs = PyRef::steal(PyList_New(0));
  if (!pairs) return nullptr;
  bool failed = false;
  const bool found = for_each_inline_attribute(arguments[0], [&](PyObject* key, PyObject* value) {
    PyRef pair = PyRef::steal(PyTuple_Pack(2, key, value));
    if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) failed = true;
  });
  if (failed) return nullptr;
  if (!found) Py_RETURN_NONE;
  return pairs.release();
}

constexpr binding::Signature kManagedDict{"managed_dict", kObjectParameter, 1, 0, 1};

PyObject* managed_dict(PyObject*, Arguments<1> arguments) {
  PyObject* dict = walker::managed_dict(arguments[0]);
  if (dict == nullptr) Py_RETURN_NONE;
  return Py_NewRef(dict);
}

PyMethodDef module_functions[] = {
    binding::method<kInlineAttributes, inline_attributes>(
        "inline_attributes",
        "inline_attributes(object) -> [(name, value), ...] or None\n\nThe attributes an instance "
        "keeps inline, read without creating its __dict__;\nNone when it keeps none inline."),
    binding::method<kManagedDict, managed_dict>(
        "managed_dict",
        "managed_dict(object) -> dict or None\n\nThe __dict__ of an instance whose attributes CPython keeps "
        "inline,\nif it was ever asked for; never creates one."),
    binding::method<kWalk, walk>(
        "walk",
        "walk(roots, excluded, frames, frame_referents, write, progress, *, namer=None,\n"
        "     closures=None, class_only=None, python_sizeof=False, site=None,\n"
        "     attribute_referents=None) -> (written, dangling)\n\n"
        "Write one dump line per object reachable from `roots` whose id is not in `excluded`;\n"
        "`frames` maps the ids of frames read beforehand to (references, size, names). With a\n"
        "`namer` the lines name their references; `site(object)` gives a line's allocation site\n"
        "keys; `attribute_referents` maps types to the function giving their instances'\n"
        "referents. Returns the count of objects written and of\n"
        "references left without a record."),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) { return PyModule_AddFunctions(module, module_functions); }

// Everything a walk holds lives as long as the call, so each interpreter may have a module of its
// own; the walk reads objects without their locks, so a free-threaded build keeps the GIL.
binding::ModuleSlots module_slots =
    binding::module_slots(exec_module, binding::Interpreters::kEach, binding::Gil::kUsed);

PyModuleDef module_definition =
    binding::module_definition("vesker._walker", "The native heap walker of vesker.dumper.", module_slots);

}  // namespace
}  // namespace vesker::walker

PyMODINIT_FUNC PyInit__walker() { return PyModuleDef_Init(&vesker::walker::module_definition); }
