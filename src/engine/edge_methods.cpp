// An object's references or referrers a page at a time, for views that cannot hold them all.
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/py_ref.h"
#include "binding/values.h"
#include "core/queries/edge_page.h"
#include "engine/cancellation_object.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"
#include "engine/summary_objects.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::number;

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

// The edges edge_page and edge_order list: the object, the direction, the order and the type
// filter, the first five arguments of both.
struct EdgeArguments {
  std::uint64_t id;
  EdgePageRequest request;
};

Result<EdgeArguments> edge_arguments(const char* method, Arguments<5> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view direction_text, binding::to_c_text(arguments[1], "direction"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view order_text, binding::to_c_text(arguments[2], "order"));
  VESKER_ASSIGN_OR_RETURN(const bool descending, binding::to_truth(arguments[3], "descending"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view type, binding::to_c_text(arguments[4], "type"));
  const auto direction = direction_named(direction_text);
  const auto order = order_named(order_text);
  if (!direction || !order) {
    PyErr_Format(PyExc_ValueError,
                 "%s: direction is 'references' or 'referrers', order is 'id', 'size', 'subtree' or 'type'", method);
    return fail(binding::pending());
  }
  return EdgeArguments{id, EdgePageRequest{*direction, *order, descending, std::string(type), 0, 0}};
}

PyObject* page_record(const ModuleState& module, const EdgePage& page) {
  return record_of(module, RecordType::kEdgePage, {
      {"object", object_row(module, page.object.id, page.object, "present")},
      {"reference_count", number(page.reference_count)},
      {"referrer_count", number(page.referrer_count)},
      {"total", number(page.total)},
      {"rows", object_rows(module, page.rows)},
  });
}

constexpr const char* kEdgePageParameters[] = {"id", "direction", "order", "descending", "type", "offset", "limit",
                                               "cancel"};
constexpr binding::Signature kEdgePage{"Store.edge_page", kEdgePageParameters, 7, 1};

Result<PyObject*> store_edge_page(PyObject* self, Arguments<8> arguments) {
  VESKER_ASSIGN_OR_RETURN(auto edges, edge_arguments("edge_page", arguments.first<5>()));
  VESKER_ASSIGN_OR_RETURN(const Py_ssize_t offset, binding::to_ssize(arguments[5], "offset"));
  VESKER_ASSIGN_OR_RETURN(const Py_ssize_t limit, binding::to_ssize(arguments[6], "limit"));
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[7]));
  if (offset < 0 || limit < 0) {
    return fail(binding::argument_check(PyExc_ValueError, "edge_page: offset and limit are not negative"));
  }
  edges.request.offset = static_cast<std::uint64_t>(offset);
  edges.request.limit = static_cast<std::uint64_t>(limit);
  VESKER_ASSIGN_OR_RETURN(const auto page, query_store(self, [&](const AnalysisStore& store) {
                            return page_edges(store.store, edges.id, edges.request, cancel.check());
                          }));
  return page ? page_record(class_state(Py_TYPE(self)), *page) : binding::none();
}

constexpr const char* kEdgeOrderParameters[] = {"id", "direction", "order", "descending", "type", "cancel"};
constexpr binding::Signature kEdgeOrder{"Store.edge_order", kEdgeOrderParameters, 5, 1};

Result<PyObject*> store_edge_order(PyObject* self, Arguments<6> arguments) {
  VESKER_ASSIGN_OR_RETURN(const auto edges, edge_arguments("edge_order", arguments.first<5>()));
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[5]));
  VESKER_ASSIGN_OR_RETURN(const auto ids, query_store(self, [&](const AnalysisStore& store) {
                            return order_edges(store.store, edges.id, edges.request, cancel.check());
                          }));
  return ids ? binding::list_of(*ids, number) : binding::none();
}

constexpr const char* kEdgeRowsParameters[] = {"id", "direction", "ids"};
constexpr binding::Signature kEdgeRows{"Store.edge_rows", kEdgeRowsParameters, 3, 0, 3};

Result<PyObject*> store_edge_rows(PyObject* self, Arguments<3> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view direction_text, binding::to_c_text(arguments[1], "direction"));
  const auto direction = direction_named(direction_text);
  if (!direction) {
    return fail(binding::argument_check(PyExc_ValueError, "edge_rows: direction is 'references' or 'referrers'"));
  }
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> edge_ids,
                          binding::to_id_list(arguments[2], "ids", "edge_rows: ids must be a sequence"));
  VESKER_ASSIGN_OR_RETURN(const auto rows, query_store(self, [&](const AnalysisStore& store) {
                            return edge_rows(store.store, id, *direction, edge_ids);
                          }));
  return object_rows(class_state(Py_TYPE(self)), rows);
}

const PyMethodDef kEdgeMethods[] = {
    binding::method<kEdgePage, store_edge_page>(
        "edge_page",
        "edge_page(id, direction, order, descending, type, offset, limit, *, cancel=None)\n--\n\nOne page of the "
        "object's 'references' or 'referrers' ordered by 'id', 'size', 'subtree' or 'type' (ties in ascending id), "
        "only those of `type` unless it is empty: an EdgePage with the object's row, its reference and referrer "
        "counts, the number of edges that pass the filter and the page's rows (marked as by get_object_tolerant); "
        "None without a record; Cancelled once `cancel` is set."),
    binding::method<kEdgeOrder, store_edge_order>(
        "edge_order",
        "edge_order(id, direction, order, descending, type, *, cancel=None)\n--\n\nThe ids of every edge that "
        "edge_page would list, in its order; None without a record."),
    binding::method<kEdgeRows, store_edge_rows>(
        "edge_rows",
        "edge_rows(id, direction, ids)\n--\n\nThe rows of the given edges of the object, as edge_page shows "
        "them."),
};

}  // namespace

std::span<const PyMethodDef> edge_methods() { return kEdgeMethods; }

}  // namespace vesker::engine
