// The module's comparisons of dumps: diff(old, new) and growth([stores]).
#pragma once

#include <Python.h>

namespace vesker::engine {

// Null-terminated, for PyModule_AddFunctions.
PyMethodDef* comparison_functions();

}  // namespace vesker::engine
