// An object's references or referrers a page at a time, for views that cannot hold them all.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "core/queries/edge_page.h"
#include "engine/cancellation_object.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "engine/summary_objects.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"

namespace vesker::engine {
namespace {

using binding::guarded;
using binding::PyRef;

std::optional<EdgeDirection> direction_named(std::string_view name) {
  if (name == "references") return EdgeDirection::kReferences;
  if (name == "referrers") return EdgeDirection::kReferrers;
  return std::nullopt;
}

std::optional<EdgeOrder> order_named(std::string_view name) {
  if (name == "id") return EdgeOrder::kId;
  if (name == "size") return EdgeOrder::kSize;
  if (name == "subtree") return EdgeOrder::kSubtree;
  if (name == "type") return EdgeOrder::kType;
  return std::nullopt;
}

// The edges edge_page and edge_order list: the object, the direction and the order, parsed.
struct EdgeArguments {
  std::uint64_t id;
  EdgePageRequest request;
};

std::optional<EdgeArguments> edge_arguments(const char* method, PyObject* id_object, const char* direction_text,
                                            const char* order_text, int descending, const char* type) {
  auto id = binding::to_u64(id_object, "id");
  if (!id) {
    binding::raise(id.error());
    return std::nullopt;
  }
  const auto direction = direction_named(direction_text);
  const auto order = order_named(order_text);
  if (!direction || !order) {
    PyErr_Format(PyExc_ValueError,
                 "%s: direction is 'references' or 'referrers', order is 'id', 'size', 'subtree' or 'type'", method);
    return std::nullopt;
  }
  return EdgeArguments{*id, EdgePageRequest{*direction, *order, descending != 0, type, 0, 0}};
}

PyObject* page_dict(const EdgePage& page) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const auto set = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  const bool filled = set("object", summary_dict(page.object.id, page.object, "present")) &&
                      set("reference_count", PyLong_FromUnsignedLongLong(page.reference_count)) &&
                      set("referrer_count", PyLong_FromUnsignedLongLong(page.referrer_count)) &&
                      set("total", PyLong_FromUnsignedLongLong(page.total)) && set("rows", summary_list(page.rows));
  return filled ? dict.release() : nullptr;
}

PyObject* store_edge_page(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"id", "direction", "order", "descending", "type", "offset", "limit", "cancel",
                                     nullptr};
    PyObject* id_object = nullptr;
    PyObject* cancel_object = Py_None;
    const char* direction_text = nullptr;
    const char* order_text = nullptr;
    int descending = 0;
    const char* type = nullptr;
    Py_ssize_t offset = 0;
    Py_ssize_t limit = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osspsnn|$O:edge_page", const_cast<char**>(keywords), &id_object,
                                     &direction_text, &order_text, &descending, &type, &offset, &limit,
                                     &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    if (offset < 0 || limit < 0) {
      PyErr_SetString(PyExc_ValueError, "edge_page: offset and limit are not negative");
      return nullptr;
    }
    auto edges = edge_arguments("edge_page", id_object, direction_text, order_text, descending, type);
    if (!edges) return nullptr;
    edges->request.offset = static_cast<std::uint64_t>(offset);
    edges->request.limit = static_cast<std::uint64_t>(limit);
    const auto page = query_store(self, [&](const AnalysisStore& store) {
      return page_edges(store.store, edges->id, edges->request, cancel->check());
    });
    if (!page) return nullptr;
    if (!*page) Py_RETURN_NONE;
    return page_dict(**page);
  });
}

PyObject* store_edge_order(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"id", "direction", "order", "descending", "type", "cancel", nullptr};
    PyObject* id_object = nullptr;
    const char* direction_text = nullptr;
    const char* order_text = nullptr;
    int descending = 0;
    const char* type = nullptr;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ossps|$O:edge_order", const_cast<char**>(keywords), &id_object,
                                     &direction_text, &order_text, &descending, &type, &cancel_object)) {
      return nullptr;
    }
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    const auto edges = edge_arguments("edge_order", id_object, direction_text, order_text, descending, type);
    if (!edges) return nullptr;
    const auto ids = query_store(self, [&](const AnalysisStore& store) {
      return order_edges(store.store, edges->id, edges->request, cancel->check());
    });
    if (!ids) return nullptr;
    if (!*ids) Py_RETURN_NONE;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>((*ids)->size())));
    if (!list) return nullptr;
    for (std::size_t at = 0; at < (*ids)->size(); ++at) {
      PyObject* item = PyLong_FromUnsignedLongLong((**ids)[at]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), item);
    }
    return list.release();
  });
}

PyObject* store_edge_rows(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* id_object = nullptr;
    const char* direction_text = nullptr;
    PyObject* ids_object = nullptr;
    if (!PyArg_ParseTuple(args, "OsO:edge_rows", &id_object, &direction_text, &ids_object)) return nullptr;
    auto id = binding::to_u64(id_object, "id");
    if (!id) return binding::raise(id.error());
    const auto direction = direction_named(direction_text);
    if (!direction) {
      PyErr_SetString(PyExc_ValueError, "edge_rows: direction is 'references' or 'referrers'");
      return nullptr;
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(ids_object, "edge_rows: ids must be a sequence"));
    if (!sequence) return nullptr;
    std::vector<std::uint64_t> edge_ids;
    edge_ids.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())));
    for (Py_ssize_t at = 0; at < PySequence_Fast_GET_SIZE(sequence.get()); ++at) {
      auto edge_id = binding::to_u64(PySequence_Fast_GET_ITEM(sequence.get(), at), "ids");
      if (!edge_id) return binding::raise(edge_id.error());
      edge_ids.push_back(*edge_id);
    }
    const auto rows =
        query_store(self, [&](const AnalysisStore& store) { return edge_rows(store.store, *id, *direction, edge_ids); });
    if (!rows) return nullptr;
    return summary_list(*rows);
  });
}

const PyMethodDef kEdgeMethods[] = {
    {"edge_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_edge_page)),
     METH_VARARGS | METH_KEYWORDS,
     "edge_page(id, direction, order, descending, type, offset, limit, *, cancel=None)\n--\n\nOne page of the object's "
     "'references' or 'referrers' ordered by 'id', 'size', 'subtree' or 'type' (ties in ascending id), only "
     "those of `type` unless it is empty: a dict with the object's summary, its reference and referrer counts, "
     "the number of edges that pass the filter and the page's rows (marked as by get_object_tolerant); None "
     "without a record; Cancelled once `cancel` is set."},
    {"edge_order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_edge_order)),
     METH_VARARGS | METH_KEYWORDS,
     "edge_order(id, direction, order, descending, type, *, cancel=None)\n--\n\nThe ids of every edge that "
     "edge_page would list, in its order; None without a record."},
    {"edge_rows", store_edge_rows, METH_VARARGS,
     "edge_rows(id, direction, ids)\n--\n\nThe rows of the given edges of the object, as edge_page shows them."},
};

}  // namespace

std::span<const PyMethodDef> edge_methods() { return kEdgeMethods; }

}  // namespace vesker::engine
