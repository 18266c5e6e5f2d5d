// The extension module vesker_analysis: multi-phase initialisation and class registration.
#include <Python.h>

#include "binding/module.h"
#include "python/heap_dump_explorer.h"
#include "python/result_classes.h"

namespace vesker::python {
namespace {

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "vesker_analysis can only be executed as a module");
    return -1;
  }
  // The first failure stops the sequence; classes added before it stay added.
  if (add_class(module, "EstimatorPrecision", estimator_precision_type()) < 0) return -1;
  if (add_class(module, "HeapDumpExplorer", heap_dump_explorer_type()) < 0) return -1;
  if (add_class(module, "ObjectRecord", object_record_type()) < 0) return -1;
  if (add_class(module, "ObjectSummary", object_summary_type()) < 0) return -1;
  if (add_class(module, "TypeSummary", type_summary_type()) < 0) return -1;
  return 0;
}

// The classes and PanicException are process-wide objects; another interpreter must not share
// them, so the module refuses to load there.
binding::ModuleSlots module_slots =
    binding::module_slots(exec_module, binding::Interpreters::kMainOnly, binding::Gil::kNotUsed);

PyModuleDef module_definition = binding::module_definition(
    "vesker_analysis", "Python bindings for Vesker's heap-dump analysis primitives.", module_slots);

}  // namespace
}  // namespace vesker::python

PyMODINIT_FUNC PyInit_vesker_analysis() { return PyModuleDef_Init(&vesker::python::module_definition); }
