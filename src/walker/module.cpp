// The `vesker._walker` extension module: the native heap walk behind
// vesker.dumper.dump_heap(native=True). The Python side gathers the roots and
// reads the running frames; this module walks and writes.
#include <Python.h>

#include "python/py_ref.h"
#include "walker/heap_walk.h"

namespace {

using vesker::python::PyRef;

PyObject* walk(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"roots", "excluded", "frames", "frame_referents", "write",
                                   "progress", "namer", "closures", "python_sizeof", nullptr};
  vesker::walker::WalkInputs inputs{};
  inputs.namer = Py_None;
  PyObject* closures = nullptr;
  int python_sizeof = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO!OOO|$OO!p:walk",
                                   const_cast<char**>(keywords), &PyList_Type, &inputs.roots,
                                   &inputs.excluded, &PyDict_Type, &inputs.frames,
                                   &inputs.frame_referents, &inputs.write, &inputs.progress,
                                   &inputs.namer, &PyDict_Type, &closures, &python_sizeof)) {
    return nullptr;
  }
  PyRef empty;
  if (closures == nullptr) {
    empty = PyRef::steal(PyDict_New());
    if (!empty) return nullptr;
    closures = empty.get();
  }
  inputs.closures = closures;
  inputs.python_sizeof = python_sizeof != 0;
  const std::optional<vesker::walker::WalkCounts> counts = vesker::walker::walk_heap(inputs);
  if (!counts) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->written),
                       static_cast<unsigned long long>(counts->dangling));
}

PyMethodDef methods[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)),
     METH_VARARGS | METH_KEYWORDS,
     "walk(roots, excluded, frames, frame_referents, write, progress, *, namer=None,\n"
     "     closures=None, python_sizeof=False) -> (written, dangling)\n\n"
     "Write one dump line per object reachable from `roots` whose id is not in `excluded`;\n"
     "`frames` maps the ids of frames read beforehand to (references, size, names). With a\n"
     "`namer` the lines name their references. Returns the count of objects written and of\n"
     "references left without a record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "vesker._walker",
    "The native heap walker of vesker.dumper.", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__walker() { return PyModule_Create(&module); }
