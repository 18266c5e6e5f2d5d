// The Python class vesker.engine.Cancellation: set by a caller that no longer wants the answer
// of a running query (a web request whose client hung up), and read by the query without the
// interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <optional>

#include "core/common/progress.h"
#include "core/common/error.h"

namespace vesker::engine {

// The class, created for one module; -1 with an exception set on failure.
int add_cancellation_types(PyObject* module);

// What a query's `cancel` argument asks for: never to stop (None), or to stop once its
// Cancellation is set.
class CancelRequest {
 public:
  CancelRequest() = default;
  // Nothing, with TypeError set, when `object` is neither None nor a Cancellation.
  static std::optional<CancelRequest> of(PyObject* object);

  // The check a core query polls; it takes no interpreter lock.
  Progress check() const;

 private:
  std::shared_ptr<const std::atomic<bool>> flag_;
};

}  // namespace vesker::engine
