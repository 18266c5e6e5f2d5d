// The extension module vesker.engine: the analyses that go beyond the explorer's queries, over
// the same stores and, within one process, the same open environments.
#include <Python.h>

#include <string_view>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/method.h"
#include "binding/module.h"
#include "core/store/damage_guard.h"
#include "engine/cancellation_object.h"
#include "engine/comparison_functions.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

constexpr const char* kPrefixParameter[] = {"prefix"};
constexpr binding::Signature kGuardStoreDamage{"guard_store_damage", kPrefixParameter, 1, 0, 1};

Result<PyObject*> guard_store_damage(PyObject*, binding::Arguments<1> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::string_view prefix, binding::to_text(arguments[0], "prefix"));
  install_store_damage_guard(prefix);
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    binding::method<kGuardStoreDamage, guard_store_damage>(
        "guard_store_damage",
        "guard_store_damage(prefix)\n--\n\nFor a program, not a library: from now on a read that a damaged store "
        "stops (a fault on its mapped pages, an LMDB assertion) ends the process with exit status 1 and one line on "
        "standard error, starting with PREFIX and naming the store, instead of a signal."),
    {nullptr, nullptr, 0, nullptr},
};

// Adds a class of the module, kept in its state too.
int add_class(PyObject* module, const char* name, PyObject* type, PyObject*& kept) {
  if (type == nullptr) return -1;
  kept = type;
  return PyModule_AddObjectRef(module, name, type);
}

int exec_module(PyObject* module) {
  ModuleState& state = module_state(module);
  if (add_class(module, "Store", make_store_type(module), state.store_type) < 0) return -1;
  if (add_class(module, "Cancellation", make_cancellation_type(module), state.cancellation_type) < 0) return -1;
  if (add_record_types(module, state) < 0) return -1;
  if (PyModule_AddFunctions(module, comparison_functions()) < 0) return -1;
  if (binding::add_exception_classes(module) < 0) return -1;
  return PyModule_AddFunctions(module, module_functions);
}

// The classes refer to the module that made them, and its state to them: a cycle for the collector.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = module_state(module);
  Py_VISIT(state.store_type);
  Py_VISIT(state.cancellation_type);
  for (PyObject* type : state.record_types) Py_VISIT(type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState& state = module_state(module);
  Py_CLEAR(state.store_type);
  Py_CLEAR(state.cancellation_type);
  for (PyObject*& type : state.record_types) Py_CLEAR(type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// The exception classes are process-wide objects; another interpreter must not share them.
binding::ModuleSlots module_slots =
    binding::module_slots(exec_module, binding::Interpreters::kMainOnly, binding::Gil::kNotUsed);

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vesker.engine",
    "Analyses of heap-dump stores: retained sizes, comparisons of dumps and lookups that tolerate damaged dumps.",
    sizeof(ModuleState),
    nullptr,
    module_slots.data(),
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState& class_state(PyTypeObject* type) { return *static_cast<ModuleState*>(PyType_GetModuleState(type)); }

}  // namespace vesker::engine

PyMODINIT_FUNC PyInit_engine() { return PyModuleDef_Init(&vesker::engine::module_definition); }
