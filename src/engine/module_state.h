// What vesker.engine keeps per module object: its classes, so that a function or method checks
// an argument against the classes of its own module, and builds its answers from them, instead
// of looking them up by name.
#pragma once

#include <Python.h>

#include <array>

#include "engine/record_types.h"

namespace vesker::engine {

struct ModuleState {
  PyObject* store_type = nullptr;
  PyObject* cancellation_type = nullptr;
  std::array<PyObject*, kRecordTypeCount> record_types{};
};

ModuleState& module_state(PyObject* module);
// The state of the module that made `type`, one of its classes.
ModuleState& class_state(PyTypeObject* type);

}  // namespace vesker::engine
