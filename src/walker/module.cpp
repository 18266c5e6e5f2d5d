// The `vesker._walker` extension module: the native heap walk behind
// vesker.dumper.dump_heap(native=True). The Python side gathers the roots and
// reads the running frames; this module walks and writes.
#include <Python.h>

#include "walker/heap_walk.h"

namespace {

PyObject* walk(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"roots", "excluded", "frames", "frame_referents",
                                   "write", "progress", "python_sizeof", nullptr};
  vesker::walker::WalkInputs inputs{};
  int python_sizeof = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO!OOO|$p:walk", const_cast<char**>(keywords),
                                   &PyList_Type, &inputs.roots, &inputs.excluded, &PyDict_Type,
                                   &inputs.frames, &inputs.frame_referents, &inputs.write,
                                   &inputs.progress, &python_sizeof)) {
    return nullptr;
  }
  inputs.python_sizeof = python_sizeof != 0;
  const std::optional<vesker::walker::WalkCounts> counts = vesker::walker::walk_heap(inputs);
  if (!counts) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->written),
                       static_cast<unsigned long long>(counts->dangling));
}

PyMethodDef methods[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)),
     METH_VARARGS | METH_KEYWORDS,
     "walk(roots, excluded, frames, frame_referents, write, progress, *, python_sizeof=False)\n"
     "    -> (written, dangling)\n\n"
     "Write one dump line per object reachable from `roots` whose id is not in `excluded`;\n"
     "`frames` maps the ids of frames read beforehand to (references, size). Returns the\n"
     "count of objects written and of references left without a record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "vesker._walker",
    "The native heap walker of vesker.dumper.", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__walker() { return PyModule_Create(&module); }
