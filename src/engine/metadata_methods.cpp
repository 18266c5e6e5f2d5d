// Facts about a store as a whole, kept beside it: how it was built, where its dumps came from.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/py_ref.h"
#include "binding/values.h"
#include "core/queries/tolerant_lookup.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::PyRef;
using binding::text;

constexpr binding::Signature kMetadata{"Store.metadata", {}};

Result<PyObject*> store_metadata(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const Metadata entries, query_store(self, [](const AnalysisStore& store) -> Result<Metadata> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            return read_metadata(txn, store);
                          }));
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return fail(binding::pending());
  for (const auto& [key, value] : entries) {
    PyRef key_object = PyRef::steal(text(key));
    PyRef value_object = PyRef::steal(text(value));
    if (!key_object || !value_object || PyDict_SetItem(result.get(), key_object.get(), value_object.get()) < 0) {
      return fail(binding::pending());
    }
  }
  return result.release();
}

constexpr const char* kSetMetadataParameters[] = {"key", "value"};
constexpr binding::Signature kSetMetadata{"Store.set_metadata", kSetMetadataParameters};

Result<PyObject*> store_set_metadata(PyObject* self, Arguments<2> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::string_view key, binding::to_text(arguments[0], "key"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view value, binding::to_text(arguments[1], "value"));
  // A write transaction waits for any other writer of the store, without the interpreter lock.
  const auto written = query_store(self, [&](const AnalysisStore& store) -> Status {
    VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_write());
    VESKER_TRY(write_metadata(txn, store, key, value));
    return txn.commit();
  });
  if (!written) return fail(written.error());
  return binding::none();
}

constexpr binding::Signature kGeneration{"Store.generation", {}};

Result<PyObject*> store_generation(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t generation,
                          query_store(self, [](const AnalysisStore& store) -> Result<std::uint64_t> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            return static_cast<std::uint64_t>(mdb_txn_id(txn.handle()));
                          }));
  return binding::number(generation);
}

// Metadata entries of a dict of str to str.
Result<std::vector<std::pair<std::string, std::string>>> entries_of(PyObject* mapping) {
  if (!PyDict_Check(mapping)) {
    return fail(binding::argument_check(PyExc_TypeError, "the entries must be a dict of str to str"));
  }
  std::vector<std::pair<std::string, std::string>> entries;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    Py_ssize_t key_size = 0;
    Py_ssize_t value_size = 0;
    const char* key_bytes = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_bytes == nullptr) return fail(binding::pending());
    const char* value_bytes = PyUnicode_AsUTF8AndSize(value, &value_size);
    if (value_bytes == nullptr) return fail(binding::pending());
    entries.emplace_back(std::string(key_bytes, static_cast<std::size_t>(key_size)),
                         std::string(value_bytes, static_cast<std::size_t>(value_size)));
  }
  return entries;
}

constexpr const char* kRecordWithNextImportParameters[] = {"entries", "dangling_references_key"};
constexpr binding::Signature kRecordWithNextImport{"Store.record_with_next_import", kRecordWithNextImportParameters,
                                                   1, 1};

Result<PyObject*> store_record_with_next_import(PyObject* self, Arguments<2> arguments) {
  VESKER_ASSIGN_OR_RETURN(const auto dangling_key,
                          binding::or_none(arguments[1], "dangling_references_key", binding::to_c_text));
  VESKER_ASSIGN_OR_RETURN(const std::shared_ptr<const AnalysisStore> store, open_store_of(self));
  if (arguments[0] == Py_None) {
    store->store.environment->leave_import_facts(nullptr);
    return binding::none();
  }
  VESKER_ASSIGN_OR_RETURN(auto entries, entries_of(arguments[0]));
  std::optional<std::string> count_key;
  if (dangling_key) count_key.emplace(*dangling_key);
  // Held weakly: the environment keeps the writing, and a store holding its environment would
  // keep both alive for good. A store closed before the import runs writes nothing.
  std::weak_ptr<const AnalysisStore> weak = store;
  store->store.environment->leave_import_facts(
      [weak, entries = std::move(entries), count_key = std::move(count_key)](
          Transaction& txn, std::optional<std::uint64_t> dangling_references) -> Status {
        const std::shared_ptr<const AnalysisStore> open = weak.lock();
        if (open == nullptr) return {};
        for (const auto& [key, value] : entries) VESKER_TRY(write_metadata(txn, *open, key, value));
        if (!count_key) return {};
        if (!dangling_references) {
          VESKER_ASSIGN_OR_RETURN(const ReferenceCheck check, check_references(open->store, txn));
          dangling_references = check.dangling_references;
        }
        return write_metadata(txn, *open, *count_key, std::to_string(*dangling_references));
      });
  return binding::none();
}

const PyMethodDef kMetadataMethods[] = {
    binding::method<kMetadata, store_metadata>(
        "metadata", "metadata()\n--\n\nFacts recorded about the store as a whole, as a dict of str to str."),
    binding::method<kSetMetadata, store_set_metadata>(
        "set_metadata", "set_metadata(key, value)\n--\n\nRecords one fact about the store."),
    binding::method<kGeneration, store_generation>(
        "generation",
        "generation()\n--\n\nThe number of the store's last committed write, from any process: it changes with "
        "every import, retained-size computation or metadata write."),
    binding::method<kRecordWithNextImport, store_record_with_next_import>(
        "record_with_next_import",
        "record_with_next_import(entries, *, dangling_references_key=None)\n--\n\nMetadata entries (a dict of str "
        "to str) written in the last transaction of the next import into this store in this process, with the "
        "results they describe; with dangling_references_key, also the number of references to ids without a "
        "record as that import leaves them. Written only while this Store is open; None drops what was left and "
        "not yet written."),
};

}  // namespace

std::span<const PyMethodDef> metadata_methods() { return kMetadataMethods; }

}  // namespace vesker::engine
