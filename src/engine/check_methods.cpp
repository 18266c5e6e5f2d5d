// What a person needs to trust a store: how many objects it holds, and whether every page reads.
#include <Python.h>

#include "binding/method.h"
#include "binding/values.h"
#include "core/check/store_check.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::number;

Result<std::uint64_t> count_objects(const Store& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(txn.handle(), txn.checked(store.primary), &stat)));
  return stat.ms_entries;
}

Result<std::uint64_t> count_named_objects(const AnalysisStore& store) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  MDB_stat stat;
  VESKER_TRY(check_lmdb(mdb_stat(txn.handle(), txn.checked(store.reference_names), &stat)));
  return stat.ms_entries;
}

constexpr binding::Signature kObjectCount{"Store.object_count", {}};

Result<PyObject*> store_object_count(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t count,
                          query_store(self, [](const AnalysisStore& store) { return count_objects(store.store); }));
  return number(count);
}

constexpr binding::Signature kNamedObjectCount{"Store.named_object_count", {}};

Result<PyObject*> store_named_object_count(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t count, query_store(self, count_named_objects));
  return number(count);
}

constexpr binding::Signature kCheck{"Store.check", {}};

Result<PyObject*> store_check(PyObject* self, Arguments<0>) {
  VESKER_ASSIGN_OR_RETURN(const StoreCheck check,
                          query_store(self, [](const AnalysisStore& store) { return check_store(store.store); }));
  return record_of(class_state(Py_TYPE(self)), RecordType::kStoreCheck, {
      {"databases", number(check.databases)},
      {"entries", number(check.entries)},
      {"bytes", number(check.bytes)},
      {"problems", binding::list_of(check.problems, binding::readable_text)},
  });
}

const PyMethodDef kCheckMethods[] = {
    binding::method<kObjectCount, store_object_count>(
        "object_count",
        "object_count()\n--\n\nThe number of object records stored, whatever state the indexes are in."),
    binding::method<kNamedObjectCount, store_named_object_count>(
        "named_object_count",
        "named_object_count()\n--\n\nThe number of objects whose references have names stored."),
    binding::method<kCheck, store_check>(
        "check",
        "check()\n--\n\nReads every page of the store. Returns a StoreCheck: databases, entries, bytes and "
        "problems (a list of texts, empty for a sound store). A page that LMDB asserts on stops the process: run it in "
        "a process of its own."),
};

}  // namespace

std::span<const PyMethodDef> check_methods() { return kCheckMethods; }

}  // namespace vesker::engine
