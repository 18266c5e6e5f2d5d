// The `vesker._walker` extension module: the native heap walk behind
// vesker.dumper.dump_heap(native=True). The Python side gathers the roots and
// reads the running frames; this module walks and writes.
#include <Python.h>

#include "walker/heap_walk.h"

namespace {

PyObject* walk(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"roots",  "excluded", "frames", "frame_referents",
                                   "write", "progress", nullptr};
  vesker::walker::WalkInputs inputs{};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO!OOO:walk", const_cast<char**>(keywords),
                                   &PyList_Type, &inputs.roots, &inputs.excluded, &PyDict_Type,
                                   &inputs.frames, &inputs.frame_referents, &inputs.write,
                                   &inputs.progress)) {
    return nullptr;
  }
  const std::optional<std::uint64_t> count = vesker::walker::walk_heap(inputs);
  if (!count) return nullptr;
  return PyLong_FromUnsignedLongLong(*count);
}

PyMethodDef methods[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)),
     METH_VARARGS | METH_KEYWORDS,
     "walk(roots, excluded, frames, frame_referents, write, progress) -> int\n\n"
     "Write one dump line per object reachable from `roots` whose id is not in `excluded`;\n"
     "`frames` maps the ids of frames read beforehand to (references, size). Returns the\n"
     "count of objects written."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "vesker._walker",
    "The native heap walker of vesker.dumper.", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__walker() { return PyModule_Create(&module); }
