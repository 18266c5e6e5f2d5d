// The Python class vesker.engine.Cancellation: set by a caller that no longer wants the answer
// of a running query (a web request whose client hung up), and read by the query without the
// interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

#include "core/common/error.h"
#include "core/common/progress.h"
#include "engine/module_state.h"

namespace vesker::engine {

// The class, created for one module; null with an exception set on failure.
PyObject* make_cancellation_type(PyObject* module);

// What a query's `cancel` argument asks for: never to stop (None, or left out), or to stop once
// its Cancellation is set.
class CancelRequest {
 public:
  CancelRequest() = default;
  // TypeError when `object` is neither None nor a Cancellation of the module of `state`.
  static Result<CancelRequest> of(PyObject* object, const ModuleState& state);

  // The check a core query polls; it takes no interpreter lock.
  Progress check() const;

 private:
  std::shared_ptr<const std::atomic<bool>> flag_;
};

// The `cancel` argument of a method of the Store `self`.
Result<CancelRequest> cancel_argument(PyObject* self, PyObject* object);

}  // namespace vesker::engine
