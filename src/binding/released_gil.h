// Releases the interpreter lock for a scope and takes it back on every exit, exceptions included.
#pragma once

#include <Python.h>

namespace vesker::binding {

class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

  // Runs `body` with the lock taken back for its duration, for a long computation that looks
  // at pending signals now and then.
  template <class Body>
  auto holding(Body&& body) {
    PyEval_RestoreThread(state_);
    struct ReleaseAgain {
      PyThreadState*& state;
      ~ReleaseAgain() { state = PyEval_SaveThread(); }
    } release_again{state_};
    return body();
  }

 private:
  PyThreadState* state_;
};

}  // namespace vesker::binding
