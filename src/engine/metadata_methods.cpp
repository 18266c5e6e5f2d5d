// Facts about a store as a whole, kept beside it: how it was built, where its dumps came from.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/queries/tolerant_lookup.h"

#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

PyObject* text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

PyObject* store_metadata(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto entries = query_store(self, [](const AnalysisStore& store) -> Result<Metadata> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      return read_metadata(txn, store);
    });
    if (!entries) return nullptr;

    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [key, value] : *entries) {
      PyRef key_object = PyRef::steal(text(key));
      if (!key_object) return nullptr;
      PyRef value_object = PyRef::steal(text(value));
      if (!value_object) return nullptr;
      if (PyDict_SetItem(result.get(), key_object.get(), value_object.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

PyObject* store_set_metadata(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"key", "value", nullptr};
    const char* key = nullptr;
    Py_ssize_t key_size = 0;
    const char* value = nullptr;
    Py_ssize_t value_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#s#:set_metadata", const_cast<char**>(keywords), &key, &key_size,
                                     &value, &value_size)) {
      return nullptr;
    }
    const std::string_view key_view(key, static_cast<std::size_t>(key_size));
    const std::string_view value_view(value, static_cast<std::size_t>(value_size));
    // A write transaction waits for any other writer of the store, without the interpreter lock.
    const auto written = query_store(self, [&](const AnalysisStore& store) -> Status {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_write());
      VESKER_TRY(write_metadata(txn, store, key_view, value_view));
      return txn.commit();
    });
    if (!written) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* store_generation(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto generation = query_store(self, [](const AnalysisStore& store) -> Result<std::uint64_t> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      return static_cast<std::uint64_t>(mdb_txn_id(txn.handle()));
    });
    if (!generation) return nullptr;
    return PyLong_FromUnsignedLongLong(*generation);
  });
}

// Metadata entries of a dict of str to str.
bool entries_of(PyObject* mapping, std::vector<std::pair<std::string, std::string>>& entries) {
  if (!PyDict_Check(mapping)) {
    PyErr_SetString(PyExc_TypeError, "the entries must be a dict of str to str");
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    Py_ssize_t key_size = 0;
    Py_ssize_t value_size = 0;
    const char* key_bytes = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_bytes == nullptr) return false;
    const char* value_bytes = PyUnicode_AsUTF8AndSize(value, &value_size);
    if (value_bytes == nullptr) return false;
    entries.emplace_back(std::string(key_bytes, static_cast<std::size_t>(key_size)),
                         std::string(value_bytes, static_cast<std::size_t>(value_size)));
  }
  return true;
}

PyObject* store_record_with_next_import(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"entries", "dangling_references_key", nullptr};
    PyObject* mapping = nullptr;
    const char* dangling_key = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$z:record_with_next_import", const_cast<char**>(keywords),
                                     &mapping, &dangling_key)) {
      return nullptr;
    }
    std::shared_ptr<const AnalysisStore> store = open_store_of(self);
    if (store == nullptr) return nullptr;
    if (mapping == Py_None) {
      store->store.environment->leave_import_facts(nullptr);
      Py_RETURN_NONE;
    }
    std::vector<std::pair<std::string, std::string>> entries;
    if (!entries_of(mapping, entries)) return nullptr;
    std::optional<std::string> count_key;
    if (dangling_key != nullptr) count_key.emplace(dangling_key);
    // Held weakly: the environment keeps the writing, and a store holding its environment would
    // keep both alive for good. A store closed before the import runs writes nothing.
    std::weak_ptr<const AnalysisStore> weak = store;
    store->store.environment->leave_import_facts(
        [weak, entries = std::move(entries), count_key = std::move(count_key)](Transaction& txn) -> Status {
          const std::shared_ptr<const AnalysisStore> open = weak.lock();
          if (open == nullptr) return {};
          for (const auto& [key, value] : entries) VESKER_TRY(write_metadata(txn, *open, key, value));
          if (!count_key) return {};
          VESKER_ASSIGN_OR_RETURN(const ReferenceCheck check, check_references(open->store, txn));
          return write_metadata(txn, *open, *count_key, std::to_string(check.dangling_references));
        });
    Py_RETURN_NONE;
  });
}

const PyMethodDef kMetadataMethods[] = {
    {"metadata", store_metadata, METH_NOARGS,
     "metadata()\n--\n\nFacts recorded about the store as a whole, as a dict of str to str."},
    {"set_metadata", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_set_metadata)),
     METH_VARARGS | METH_KEYWORDS, "set_metadata(key, value)\n--\n\nRecords one fact about the store."},
    {"generation", store_generation, METH_NOARGS,
     "generation()\n--\n\nThe number of the store's last committed write, from any process: it changes with "
     "every import, retained-size computation or metadata write."},
    {"record_with_next_import",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_record_with_next_import)),
     METH_VARARGS | METH_KEYWORDS,
     "record_with_next_import(entries, *, dangling_references_key=None)\n--\n\nMetadata entries (a dict of str "
     "to str) written in the last transaction of the next import into this store in this process, with the "
     "results they describe; with dangling_references_key, also the number of references to ids without a record "
     "as that import leaves them. Written only while this Store is open; None drops what was left and not yet "
     "written."},
};

}  // namespace

std::span<const PyMethodDef> metadata_methods() { return kMetadataMethods; }

}  // namespace vesker::engine
