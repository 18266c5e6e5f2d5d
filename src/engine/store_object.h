// The Python class vesker.engine.Store: one store directory opened for the analyses.
#pragma once

#include <Python.h>

#include <memory>

#include "core/store/analysis_store.h"

namespace vesker::engine {

struct StoreObject {
  PyObject_HEAD
  // Null once closed. Every call copies it before releasing the interpreter lock, so a close
  // from another thread never pulls the store from under a running query.
  std::shared_ptr<const AnalysisStore> store;
};

// The class, created for one module; null with an exception set on failure.
PyObject* make_store_type(PyObject* module);

// The open store behind a Store object for one call; null with an exception set when `self` is
// not a Store or has been closed.
std::shared_ptr<const AnalysisStore> open_store_of(PyObject* self);

}  // namespace vesker::engine
