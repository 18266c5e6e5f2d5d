// The Python class vesker.engine.Store: one store directory opened for the analyses.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/errors.h"
#include "binding/released_gil.h"
#include "core/common/closable_handle.h"
#include "core/store/analysis_store.h"

namespace vesker::engine {

struct StoreObject {
  PyObject_HEAD
  // Every call takes its share before releasing the interpreter lock, so a close from another
  // thread never pulls the store from under a running query; on a free-threaded build the
  // close and the takes run at once.
  ClosableHandle<const AnalysisStore> store;
};

// The class, created for one module; null with an exception set on failure.
PyObject* make_store_type(PyObject* module);

// The open store behind a Store object for one call; ValueError when it has been closed.
Result<std::shared_ptr<const AnalysisStore>> open_store_of(PyObject* self);

// Runs `work(store)` on the Store `self` with the interpreter lock released: its value (a
// std::monostate for a Status), or the error that stopped it (the store closed, or the error of
// `work`).
template <class Work>
auto query_store(PyObject* self, Work&& work) {
  using Answer = decltype(work(std::declval<const AnalysisStore&>()));
  using Value = std::conditional_t<std::is_void_v<typename Answer::value_type>, std::monostate,
                                   typename Answer::value_type>;
  return [&]() -> Result<Value> {
    VESKER_ASSIGN_OR_RETURN(const std::shared_ptr<const AnalysisStore> store, open_store_of(self));
    std::optional<Answer> answer;
    {
      binding::ReleasedGil released;
      answer.emplace(work(*store));
    }
    if (!*answer) return fail(std::move(*answer).error());
    if constexpr (std::is_void_v<typename Answer::value_type>) {
      return Value{};
    } else {
      return std::move(**answer);
    }
  }();
}

}  // namespace vesker::engine
