// The extension module vesker.engine: the analyses that go beyond the explorer's queries, over
// the same stores and, within one process, the same open environments.
#include <Python.h>

#include "engine/cancellation_object.h"
#include "engine/comparison_functions.h"
#include "engine/store_object.h"
#include "python/py_ref.h"

namespace vesker::engine {
namespace {

int exec_module(PyObject* module) {
  python::PyRef store_type = python::PyRef::steal(make_store_type(module));
  if (!store_type) return -1;
  if (PyModule_AddFunctions(module, comparison_functions()) < 0) return -1;
  if (add_cancellation_types(module) < 0) return -1;
  return PyModule_AddObjectRef(module, "Store", store_type.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vesker.engine",
    "Analyses of heap-dump stores: retained sizes, comparisons of dumps and lookups that tolerate damaged dumps.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vesker::engine

PyMODINIT_FUNC PyInit_engine() { return PyModuleDef_Init(&vesker::engine::module_definition); }
