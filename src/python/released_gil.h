// Releases the interpreter lock for a scope and takes it back on every exit, exceptions included.
#pragma once

#include <Python.h>

namespace vesker::python {

class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace vesker::python
