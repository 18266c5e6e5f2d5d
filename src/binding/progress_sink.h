// How a long computation that runs without the interpreter lock hears from Python.
#pragma once

#include <Python.h>

#include <chrono>

#include "core/common/progress.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::binding {

// Without the lock a Ctrl-C only sets a flag that the interpreter acts on once the computation
// ends, which can be minutes; so every such computation takes the lock back for a moment once
// per interval.
inline constexpr std::chrono::milliseconds kPollInterval(50);

// Runs the signal handlers and calls `callback(done, total)` (none when null or None) with the
// lock of `released` taken back, once per interval and at the end; an exception either raises
// (KeyboardInterrupt) stays pending in this thread and stops the computation.
inline Progress::Sink interpreter_sink(ReleasedGil& released, PyObject* callback = nullptr) {
  using Clock = std::chrono::steady_clock;
  return [&released, callback, next = Clock::now() + kPollInterval](std::uint64_t done,
                                                                     std::uint64_t total) mutable -> Status {
    const Clock::time_point now = Clock::now();
    // The last report (done == total) always gets through; polls without counts report 0 of 0.
    if (now < next && (total == 0 || done < total)) return {};
    next = now + kPollInterval;
    return released.holding([&]() -> Status {
      if (PyErr_CheckSignals() < 0) return fail(pending());
      if (callback == nullptr || callback == Py_None) return {};
      PyRef answer = PyRef::steal(PyObject_CallFunction(callback, "KK", static_cast<unsigned long long>(done),
                                                        static_cast<unsigned long long>(total)));
      if (!answer) return fail(pending());
      return {};
    });
  };
}

}  // namespace vesker::binding
