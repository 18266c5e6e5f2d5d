// The extension module vesker.engine: the analyses that go beyond the explorer's queries, over
// the same stores and, within one process, the same open environments.
#include <Python.h>

#include <string_view>

#include "core/store/damage_guard.h"
#include "engine/cancellation_object.h"
#include "engine/comparison_functions.h"
#include "engine/store_object.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace vesker::engine {
namespace {

PyObject* guard_store_damage(PyObject*, PyObject* argument) {
  Py_ssize_t size = 0;
  const char* prefix = PyUnicode_AsUTF8AndSize(argument, &size);
  if (prefix == nullptr) return nullptr;
  install_store_damage_guard(std::string_view(prefix, static_cast<std::size_t>(size)));
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"guard_store_damage", guard_store_damage, METH_O,
     "guard_store_damage(prefix)\n--\n\nFor a program, not a library: from now on a read that a damaged store "
     "stops (a fault on its mapped pages, an LMDB assertion) ends the process with exit status 1 and one line on "
     "standard error, starting with PREFIX and naming the store, instead of a signal."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  binding::PyRef store_type = binding::PyRef::steal(make_store_type(module));
  if (!store_type) return -1;
  if (PyModule_AddFunctions(module, comparison_functions()) < 0) return -1;
  if (add_cancellation_types(module) < 0) return -1;
  if (binding::add_exception_classes(module) < 0) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
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
