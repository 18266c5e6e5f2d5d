#include "python/import_method.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "binding/errors.h"
#include "binding/progress_sink.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"
#include "core/importer/line_importer.h"
#include "python/result_classes.h"

namespace vesker::python {

using binding::PyRef;
using binding::ReleasedGil;
using binding::interpreter_sink;
using binding::not_an_instance;
using binding::pending;
using binding::raise;

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

// Where the import's time went, for `vesker import --profile`: when VESKER_PHASE_LOG names a
// file, each phase is appended to it as a line "name<TAB>wall seconds<TAB>CPU seconds".
std::unique_ptr<PhaseLog> phase_log_if_asked() {
  const char* path = std::getenv("VESKER_PHASE_LOG");
  return path != nullptr && *path != '\0' ? std::make_unique<PhaseLog>() : nullptr;
}

bool write_phase_log(const PhaseLog& log) {
  const char* path = std::getenv("VESKER_PHASE_LOG");
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    return false;
  }
  bool written = true;
  for (const PhaseLog::Phase& phase : log.phases()) {
    written = std::fprintf(file, "%s\t%.6f\t%.6f\n", phase.name.c_str(), phase.wall_seconds, phase.cpu_seconds) > 0 &&
              written;
  }
  if (std::fclose(file) != 0 || !written) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    return false;
  }
  return true;
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
  const std::unique_ptr<PhaseLog> log = phase_log_if_asked();
  {
    ReleasedGil released;
    slot.emplace(explorer.acquire_import_slot());
    importer.emplace(LineImporter::begin(explorer.store(), LineImporter::kDefaultBatchBytes, log.get()));
  }
  std::optional<PhaseLog::Timer> importing(std::in_place, log.get(), "import");
  if (!*importer) return raise(importer->error());
  if (auto imported = import_items(arguments[0], **importer); !imported) return raise(imported.error());
  Status finished;
  {
    // Committing, then the post-import step, need nothing from the interpreter but its signal
    // handlers; an interrupted step leaves the lines committed.
    ReleasedGil released;
    finished = (*importer)->commit();
    importing.reset();
    if (finished) {
      PhaseLog::Timer processing(log.get(), "subtree sizes");
      finished = explorer.run_post_import_processing(*precision, Progress(interpreter_sink(released)), log.get());
    }
  }
  if (!finished) return raise(finished.error());
  if (log && !write_phase_log(*log)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace vesker::python
