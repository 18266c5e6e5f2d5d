// The `vesker._walker` extension module: the native heap walk behind
// vesker.dumper.dump_heap(native=True). The Python side gathers the roots and
// reads the running frames; this module walks and writes.
#include <Python.h>

#include "binding/py_ref.h"
#include "walker/heap_walk.h"
#include "walker/inline_values.h"

namespace {

using vesker::binding::PyRef;

PyObject* walk(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"roots",    "excluded", "frames",     "frame_referents",
                                   "write",    "progress", "namer",      "closures",
                                   "class_only", "python_sizeof", "site", "attribute_referents",
                                   nullptr};
  vesker::walker::WalkInputs inputs{};
  inputs.namer = Py_None;
  PyObject* closures = nullptr;
  int python_sizeof = 0;
  inputs.class_only = Py_None;
  inputs.site = Py_None;
  PyObject* attribute_referents = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO!OOO|$OO!OpOO!:walk",
                                   const_cast<char**>(keywords), &PyList_Type, &inputs.roots,
                                   &inputs.excluded, &PyDict_Type, &inputs.frames,
                                   &inputs.frame_referents, &inputs.write, &inputs.progress,
                                   &inputs.namer, &PyDict_Type, &closures, &inputs.class_only,
                                   &python_sizeof, &inputs.site, &PyDict_Type, &attribute_referents)) {
    return nullptr;
  }
  if (inputs.site != Py_None && !PyCallable_Check(inputs.site)) {
    PyErr_SetString(PyExc_TypeError, "site must be callable or None");
    return nullptr;
  }
  if (inputs.namer != Py_None && !PyCallable_Check(inputs.class_only)) {
    PyErr_SetString(PyExc_TypeError, "a namer needs class_only");
    return nullptr;
  }
  PyRef empty;
  if (closures == nullptr) {
    empty = PyRef::steal(PyDict_New());
    if (!empty) return nullptr;
    closures = empty.get();
  }
  inputs.closures = closures;
  PyRef no_attribute_referents;
  if (attribute_referents == nullptr) {
    no_attribute_referents = PyRef::steal(PyDict_New());
    if (!no_attribute_referents) return nullptr;
    attribute_referents = no_attribute_referents.get();
  }
  inputs.attribute_referents = attribute_referents;
  inputs.python_sizeof = python_sizeof != 0;
  const std::optional<vesker::walker::WalkCounts> counts = vesker::walker::walk_heap(inputs);
  if (!counts) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->written),
                       static_cast<unsigned long long>(counts->dangling));
}

PyObject* inline_attributes(PyObject*, PyObject* object) {
  PyRef pairs = PyRef::steal(PyList_New(0));
  if (!pairs) return nullptr;
  bool failed = false;
  const bool found = vesker::walker::for_each_inline_attribute(
      object, [&](PyObject* key, PyObject* value) {
        PyRef pair = PyRef::steal(PyTuple_Pack(2, key, value));
        if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) failed = true;
      });
  if (failed) return nullptr;
  if (!found) Py_RETURN_NONE;
  return pairs.release();
}

PyObject* managed_dict(PyObject*, PyObject* object) {
  PyObject* dict = vesker::walker::managed_dict(object);
  if (dict == nullptr) Py_RETURN_NONE;
  return Py_NewRef(dict);
}

PyMethodDef methods[] = {
    {"inline_attributes", inline_attributes, METH_O,
     "inline_attributes(object) -> [(name, value), ...] or None\n\nThe attributes an instance "
     "keeps inline, read without creating its __dict__;\nNone when it keeps none inline."},
    {"managed_dict", managed_dict, METH_O,
     "managed_dict(object) -> dict or None\n\nThe __dict__ of an instance whose attributes CPython keeps "
     "inline,\nif it was ever asked for; never creates one."},
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)),
     METH_VARARGS | METH_KEYWORDS,
     "walk(roots, excluded, frames, frame_referents, write, progress, *, namer=None,\n"
     "     closures=None, class_only=None, python_sizeof=False, site=None,\n"
     "     attribute_referents=None) -> (written, dangling)\n\n"
     "Write one dump line per object reachable from `roots` whose id is not in `excluded`;\n"
     "`frames` maps the ids of frames read beforehand to (references, size, names). With a\n"
     "`namer` the lines name their references; `site(object)` gives a line's allocation site\n"
     "keys; `attribute_referents` maps types to the function giving their instances'\n"
     "referents. Returns the count of objects written and of\n"
     "references left without a record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "vesker._walker",
    "The native heap walker of vesker.dumper.", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__walker() { return PyModule_Create(&module); }
