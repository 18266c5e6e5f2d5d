#include "python/explorer_methods.h"

#include "core/importer/line_importer.h"
#include "core/queries/object_lookup.h"
#include "python/explorer_object.h"
#include "python/py_ref.h"
#include "python/released_gil.h"
#include "python/result_classes.h"

namespace vesker::python {
namespace {

template <class T>
PyObject* result_to_python(Result<T>&& result) {
  if (!result) return raise(result.error());
  return to_python(std::move(*result));
}

// ---- import_lines ----

constexpr const char* kImportLinesParameters[] = {"lines", "estimator_precision"};
constexpr Signature kImportLines{"HeapDumpExplorer.import_lines", kImportLinesParameters};

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
  Status committed;
  {
    ReleasedGil released;
    committed = (*importer)->commit();
  }
  if (!committed) return raise(committed.error());
  Py_RETURN_NONE;
}

// ---- get_object ----

constexpr const char* kGetObjectParameters[] = {"obj_id"};
constexpr Signature kGetObject{"HeapDumpExplorer.get_object", kGetObjectParameters};

PyObject* get_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments) {
  auto id = to_u64(arguments[0], "obj_id");
  if (!id) return raise(id.error());
  return result_to_python(vesker::get_object(explorer.store(), *id));
}

template <const Signature& S, std::size_t N, MethodBody<N> Body>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_method<S, N, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef methods[] = {
    method<kImportLines, 2, import_lines>(
        "import_lines",
        "import_lines($self, lines, estimator_precision)\n--\n\n"
        "Import JSONL heap records and build the requested secondary indexes."),
    method<kGetObject, 1, get_object>(
        "get_object",
        "get_object($self, obj_id)\n--\n\nReturn one object with expanded references and referrers."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* explorer_methods() { return methods; }

}  // namespace vesker::python
