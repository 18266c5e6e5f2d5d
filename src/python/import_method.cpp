#include "python/import_method.h"

#include <chrono>
#include <optional>

#include "core/importer/line_importer.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/released_gil.h"
#include "python/result_classes.h"

namespace vesker::python {
namespace {

// Feeds every item of `lines` to the importer; the interpreter lock is held while iterating.
Status import_items(PyObject* lines, LineImporter& importer) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(lines));
  if (!iterator) return fail(pending());
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyBytes_Check(item.get())) return fail(not_an_instance(item.get(), "bytes"));
    const std::string_view line(PyBytes_AS_STRING(item.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(item.get())));
    VESKER_TRY(importer.add_line(line));
  }
  if (PyErr_Occurred()) return fail(pending());
  return {};
}

// Takes the interpreter lock back for a scope, inside a ReleasedGil scope of the same thread.
class HeldGil {
 public:
  explicit HeldGil(PyThreadState* thread) noexcept { PyEval_RestoreThread(thread); }
  HeldGil(const HeldGil&) = delete;
  HeldGil& operator=(const HeldGil&) = delete;
  ~HeldGil() { PyEval_SaveThread(); }
};

// The post-import step runs without the interpreter lock, so a Ctrl-C only sets a flag that
// the interpreter would act on once the step ends, which can be minutes. This check takes the
// lock for a moment every 50 ms and lets the interpreter run its signal handlers; an exception
// they raise (KeyboardInterrupt) stays pending in this thread and stops the step.
constexpr std::chrono::milliseconds kSignalCheckInterval(50);

CancellationCheck signal_check(PyThreadState* thread) {
  using Clock = std::chrono::steady_clock;
  return CancellationCheck([thread, next = Clock::now() + kSignalCheckInterval]() mutable -> Status {
    const Clock::time_point now = Clock::now();
    if (now < next) return {};
    next = now + kSignalCheckInterval;
    HeldGil held(thread);
    if (PyErr_CheckSignals() < 0) return fail(pending());
    return {};
  });
}

}  // namespace

PyObject* import_lines(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments) {
  auto precision = to_estimator_precision(arguments[1], "estimator_precision");
  if (!precision) return raise(precision.error());
  if (explorer.importing_on_this_thread()) {
    PyErr_SetString(PyExc_RuntimeError, "import_lines is already running on this store in this thread");
    return nullptr;
  }
  // Waiting for another import, or for LMDB's single writer, must not hold the interpreter lock:
  // the thread we wait for may need it to go on reading its input.
  std::optional<HeapDumpExplorer::ImportSlot> slot;
  std::optional<Result<LineImporter>> importer;
  {
    ReleasedGil released;
    slot.emplace(explorer.acquire_import_slot());
    importer.emplace(LineImporter::begin(explorer.store()));
  }
  if (!*importer) return raise(importer->error());
  if (auto imported = import_items(arguments[0], **importer); !imported) return raise(imported.error());
  Status finished;
  {
    // Committing, then the post-import step, need nothing from the interpreter but its signal
    // handlers; an interrupted step leaves the lines committed.
    PyThreadState* const thread = PyThreadState_Get();
    ReleasedGil released;
    finished = (*importer)->commit();
    if (finished) finished = explorer.run_post_import_processing(*precision, signal_check(thread));
  }
  if (!finished) return raise(finished.error());
  Py_RETURN_NONE;
}

}  // namespace vesker::python
