// Process-wide objects created on first use.
#pragma once

#include <Python.h>

#include <atomic>

namespace vesker::binding {

// Returns the object in `slot`, creating it with `make` on first use. Racing threads may each
// create one; the first one stored wins and the others are dropped, so nobody ever waits while
// holding the interpreter lock. The stored reference lives for the rest of the process.
template <class T, class Make>
T* create_once(std::atomic<T*>& slot, Make make) {
  T* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  T* created = make();
  if (created == nullptr) return nullptr;
  if (!slot.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(reinterpret_cast<PyObject*>(created));
    return existing;
  }
  return created;
}

}  // namespace vesker::binding
