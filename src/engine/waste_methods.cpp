// Waste: duplicate strings and bytes, empty, over-allocated and sparse collections.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/waste/heap_waste.h"
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

PyObject* u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

const char* kind_name(waste::ContainerWaste kind) {
  switch (kind) {
    case waste::ContainerWaste::kEmpty:
      return "empty";
    case waste::ContainerWaste::kOverAllocated:
      return "over-allocated";
    case waste::ContainerWaste::kSparse:
      return "sparse";
  }
  return "?";
}

template <class Item, class Convert>
PyObject* list_of(const std::vector<Item>& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* duplicate_dict(const waste::DuplicateGroup& group) {
  return dict_of({
      {"type", text(group.type)},
      {"value", text(group.value)},
      {"size", u64(group.size)},
      {"copies", u64(group.copies)},
      {"saving", u64(group.saving)},
      {"sample", u64(group.sample)},
      {"holders", list_of(group.holders,
                          [](const waste::Holder& holder) {
                            return dict_of({{"label", text(holder.label)}, {"count", u64(holder.count)}});
                          })},
  });
}

PyObject* container_dict(const waste::ContainerGroup& group) {
  return dict_of({
      {"kind", text(kind_name(group.kind))},
      {"type", text(group.type)},
      {"holder", text(group.holder)},
      {"count", u64(group.count)},
      {"size", u64(group.size)},
      {"saving", u64(group.saving)},
      {"sample", u64(group.sample)},
  });
}

PyObject* store_waste(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"limit", "cancel", nullptr};
    waste::WasteOptions options;
    unsigned long long limit = options.limit;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|K$O:waste", const_cast<char**>(keywords), &limit,
                                     &cancel_object)) {
      return nullptr;
    }
    options.limit = limit;
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    const auto found = query_store(self, [&](const AnalysisStore& store) -> Result<waste::WasteReport> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      return waste::find_waste(txn, store, options, cancel->check());
    });
    if (!found) return nullptr;
    const waste::WasteReport& report = *found;
    return dict_of({
        {"duplicates", list_of(report.duplicates, duplicate_dict)},
        {"containers", list_of(report.containers, container_dict)},
        {"totals", dict_of({
                       {"duplicates", dict_of({{"count", u64(report.duplicate_groups)},
                                               {"saving", u64(report.duplicate_saving)}})},
                       {"empty", dict_of({{"count", u64(report.empty_count)}, {"saving", u64(report.empty_saving)}})},
                       {"over-allocated", dict_of({{"count", u64(report.over_allocated_count)},
                                                   {"saving", u64(report.over_allocated_saving)}})},
                       {"sparse",
                        dict_of({{"count", u64(report.sparse_count)}, {"saving", u64(report.sparse_saving)}})},
                   })},
    });
  });
}

const PyMethodDef kWasteMethods[] = {
    {"waste", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_waste)), METH_VARARGS | METH_KEYWORDS,
     "waste(limit=20, *, cancel=None)\n--\n\nDuplicate str and bytes values (what sharing one copy would save, with "
     "their holders), and empty, over-allocated and sparse lists, dicts and sets grouped by what holds them, with the "
     "totals of each kind."},
};

}  // namespace

std::span<const PyMethodDef> waste_methods() { return kWasteMethods; }

}  // namespace vesker::engine
