// Leak suspects: the objects or groups that hold most of the heap, with their paths and signatures.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "core/suspects/leak_suspects.h"
#include "engine/cancellation_object.h"
#include "engine/retained_rows.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

// A suspect with the rows of its descent and path, read in the same transaction.
struct FoundSuspect {
  suspects::Suspect suspect;
  std::vector<Row> descent;
  std::vector<Row> path;
};

struct Found {
  std::uint64_t heap = 0;
  std::vector<FoundSuspect> suspects;
};

Result<Found> find(const AnalysisStore& store, const suspects::SuspectOptions& options,
                   Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  VESKER_ASSIGN_OR_RETURN(suspects::SuspectReport report,
                          suspects::find_suspects(txn, store, options, std::move(cancellation)));
  Found found{report.heap, {}};
  for (suspects::Suspect& suspect : report.suspects) {
    FoundSuspect row;
    VESKER_ASSIGN_OR_RETURN(row.descent, rows_of(txn, store, suspect.descent, true));
    VESKER_ASSIGN_OR_RETURN(row.path, rows_of(txn, store, suspect.path, false));
    for (std::size_t i = 0; i < row.path.size() && i < suspect.names.size(); ++i) row.path[i].name = suspect.names[i];
    row.suspect = std::move(suspect);
    found.suspects.push_back(std::move(row));
  }
  return found;
}

PyObject* held_dict(const std::optional<suspects::HeldGroup>& held) {
  if (!held) return Py_NewRef(Py_None);
  return dict_of({
      {"type", text(held->type)},
      {"count", PyLong_FromUnsignedLongLong(held->count)},
      {"retained", PyLong_FromUnsignedLongLong(held->retained)},
      {"sample", PyLong_FromUnsignedLongLong(held->sample)},
  });
}

PyObject* suspect_dict(const FoundSuspect& found) {
  const suspects::Suspect& suspect = found.suspect;
  return dict_of({
      {"id", PyLong_FromUnsignedLongLong(suspect.id)},
      {"retained", PyLong_FromUnsignedLongLong(suspect.retained)},
      {"count", PyLong_FromUnsignedLongLong(suspect.count)},
      {"object", found.descent.empty() ? Py_NewRef(Py_None) : row_dict(found.descent.back())},
      {"descent", row_list(found.descent)},
      {"held", held_dict(suspect.held)},
      {"path", row_list(found.path)},
      {"signature", text(suspect.signature)},
      {"signature_text", text(suspect.signature_text)},
  });
}

PyObject* store_suspects(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"threshold", "cancel", nullptr};
    suspects::SuspectOptions options;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d$O:suspects", const_cast<char**>(keywords), &options.threshold,
                                     &cancel_object)) {
      return nullptr;
    }
    if (!(options.threshold > 0 && options.threshold <= 1)) {
      PyErr_SetString(PyExc_ValueError, "suspects: threshold is a share of the heap, above 0 and at most 1");
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    const auto found =
        query_store(self, [&](const AnalysisStore& store) { return find(store, options, cancel->check()); });
    if (!found) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const FoundSuspect& suspect : found->suspects) {
      PyRef item = PyRef::steal(suspect_dict(suspect));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return dict_of({{"heap", PyLong_FromUnsignedLongLong(found->heap)}, {"suspects", list.release()}});
  });
}

const PyMethodDef kSuspectMethods[] = {
    {"suspects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_suspects)),
     METH_VARARGS | METH_KEYWORDS,
     "suspects(threshold=0.1, *, cancel=None)\n--\n\nThe objects, or groups of one type, that each hold at least "
     "threshold of the heap, largest first, each at its accumulation point with a shortest named path from a root "
     "and a signature of that path. Needs fresh retained sizes."},
};

}  // namespace

std::span<const PyMethodDef> suspect_methods() { return kSuspectMethods; }

}  // namespace vesker::engine
