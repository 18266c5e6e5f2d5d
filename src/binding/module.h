// The definition every native module makes of itself: multi-phase initialisation, with the
// interpreters that may load it and whether it keeps the GIL on a free-threaded build.
#pragma once

#include <Python.h>

#include <array>

namespace vesker::binding {

enum class Interpreters {
  kMainOnly,  // it holds process-wide objects that another interpreter must not share
  kEach,      // each interpreter gets a module of its own, with its own GIL if it likes
};

enum class Gil {
  kNotUsed,  // it locks what it shares itself
  kUsed,     // it reads objects without their locks
};

using ModuleSlots = std::array<PyModuleDef_Slot, 4>;

inline ModuleSlots module_slots(int (*exec)(PyObject*), [[maybe_unused]] Interpreters interpreters,
                                [[maybe_unused]] Gil gil) {
  ModuleSlots slots{};
  std::size_t at = 0;
  slots[at++] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
#ifdef Py_mod_multiple_interpreters
  slots[at++] = {Py_mod_multiple_interpreters, interpreters == Interpreters::kMainOnly
                                                   ? Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
                                                   : Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#ifdef Py_mod_gil
  slots[at++] = {Py_mod_gil, gil == Gil::kNotUsed ? Py_MOD_GIL_NOT_USED : Py_MOD_GIL_USED};
#endif
  return slots;  // the rest stays {0, nullptr}, the end of the list
}

// A module without state of its own.
inline PyModuleDef module_definition(const char* name, const char* doc, ModuleSlots& slots) {
  return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots.data(), nullptr, nullptr, nullptr};
}

}  // namespace vesker::binding
