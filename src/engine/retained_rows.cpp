#include "engine/retained_rows.h"

#include "core/queries/object_lookup.h"
#include "binding/py_ref.h"

namespace vesker::engine {

using binding::PyRef;

PyObject* text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
}

PyObject* optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : Py_NewRef(Py_None);
}

PyObject* optional_id(std::optional<std::uint64_t> id) {
  return id ? PyLong_FromUnsignedLongLong(*id) : Py_NewRef(Py_None);
}

PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  bool ok = bool(dict);
  for (const auto& [key, value] : items) {
    PyRef owned = PyRef::steal(value);
    if (ok && (!owned || PyDict_SetItemString(dict.get(), key, owned.get()) < 0)) ok = false;
  }
  return ok ? dict.release() : nullptr;
}

Result<Row> row_of(const Transaction& txn, const AnalysisStore& store, std::uint64_t id) {
  Row row;
  VESKER_ASSIGN_OR_RETURN(row.summary, get_summary(store.store, txn, id));
  VESKER_ASSIGN_OR_RETURN(row.facts, dominators::read_retained(txn, store, id));
  return row;
}

Result<std::vector<Row>> rows_of(const Transaction& txn, const AnalysisStore& store,
                                 const std::vector<std::uint64_t>& ids, bool with_names) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    VESKER_ASSIGN_OR_RETURN(Row row, row_of(txn, store, ids[i]));
    if (with_names && i > 0) {
      VESKER_ASSIGN_OR_RETURN(row.name, dominators::reference_name(txn, store, ids[i - 1], ids[i]));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

PyObject* row_dict(const Row& row) {
  const bool known = row.facts.has_value();
  const std::uint8_t flags = known ? row.facts->flags : 0;
  return dict_of({
      {"id", PyLong_FromUnsignedLongLong(row.summary.id)},
      {"type", text(row.summary.type)},
      {"value", optional_text(row.summary.value)},
      {"size", PyLong_FromUnsignedLongLong(row.summary.size)},
      {"retained", known ? PyLong_FromUnsignedLongLong(row.facts->retained) : Py_NewRef(Py_None)},
      {"idom", known ? optional_id(row.facts->idom) : Py_NewRef(Py_None)},
      {"root_edge", PyBool_FromLong(flags & dominators::kStoredRootEdge)},
      {"unreachable", PyBool_FromLong(flags & dominators::kStoredUnreachable)},
      {"name", optional_text(row.name)},
  });
}

PyObject* row_list(const std::vector<Row>& rows) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* item = row_dict(rows[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace vesker::engine
