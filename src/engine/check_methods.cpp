// What a person needs to trust a store: how many objects it holds, and whether every page reads.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "core/check/store_check.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

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

template <class Count>
PyObject* count_method(PyObject* self, Count count_of) {
  return guarded([&]() -> PyObject* {
    const auto count = query_store(self, count_of);
    if (!count) return nullptr;
    return PyLong_FromUnsignedLongLong(*count);
  });
}

PyObject* store_object_count(PyObject* self, PyObject*) {
  return count_method(self, [](const AnalysisStore& store) { return count_objects(store.store); });
}

PyObject* store_named_object_count(PyObject* self, PyObject*) {
  return count_method(self, count_named_objects);
}

PyObject* store_check(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto check = query_store(self, [](const AnalysisStore& store) { return check_store(store.store); });
    if (!check) return nullptr;
    PyRef problems = PyRef::steal(PyList_New(0));
    if (!problems) return nullptr;
    for (const std::string& problem : check->problems) {
      PyRef text = PyRef::steal(
          PyUnicode_DecodeUTF8(problem.data(), static_cast<Py_ssize_t>(problem.size()), "replace"));
      if (!text || PyList_Append(problems.get(), text.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{s:K,s:K,s:K,s:O}", "databases", check->databases, "entries", check->entries,
                         "bytes", check->bytes, "problems", problems.get());
  });
}

const PyMethodDef kCheckMethods[] = {
    {"object_count", store_object_count, METH_NOARGS,
     "object_count()\n--\n\nThe number of object records stored, whatever state the indexes are in."},
    {"named_object_count", store_named_object_count, METH_NOARGS,
     "named_object_count()\n--\n\nThe number of objects whose references have names stored."},
    {"check", store_check, METH_NOARGS,
     "check()\n--\n\nReads every page of the store. Returns a dict: databases, entries, bytes and problems "
     "(a list of texts, empty for a sound store). A page that LMDB asserts on stops the process: run it in "
     "a process of its own."},
};

}  // namespace

std::span<const PyMethodDef> check_methods() { return kCheckMethods; }

}  // namespace vesker::engine
