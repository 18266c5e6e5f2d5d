// Names for objects and edges: what holds an object, and the names of its references.
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/values.h"
#include "core/labels/object_labels.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;

using Names = std::vector<std::optional<std::string>>;

Result<std::vector<std::uint64_t>> ids_of(PyObject* sequence) {
  return binding::to_id_list(sequence, "id", "ids must be a sequence");
}

template <class Work>
Result<PyObject*> names_on_store(PyObject* self, Work&& work) {
  VESKER_ASSIGN_OR_RETURN(const Names names, query_store(self, [&](const AnalysisStore& store) -> Result<Names> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            labels::ObjectLabeler labeler(txn, store);
                            return work(labeler);
                          }));
  return binding::list_of(names, binding::optional_text);
}

constexpr const char* kIdsParameter[] = {"ids"};
constexpr binding::Signature kLabels{"Store.labels", kIdsParameter, 1, 0, 1};

Result<PyObject*> store_labels(PyObject* self, Arguments<1> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> ids, ids_of(arguments[0]));
  return names_on_store(self, [&](labels::ObjectLabeler& labeler) -> Result<Names> {
    Names names;
    for (const std::uint64_t id : ids) {
      VESKER_ASSIGN_OR_RETURN(auto label, labeler.label(id));
      names.push_back(std::move(label));
    }
    return names;
  });
}

constexpr const char* kEdgeNamesParameters[] = {"id", "direction", "ids"};
constexpr binding::Signature kEdgeNames{"Store.edge_names", kEdgeNamesParameters, 3, 0, 3};

Result<PyObject*> store_edge_names(PyObject* self, Arguments<3> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t id, binding::to_u64(arguments[0], "id"));
  VESKER_ASSIGN_OR_RETURN(const std::string_view which, binding::to_c_text(arguments[1], "direction"));
  if (which != "references" && which != "referrers") {
    return fail(binding::argument_check(PyExc_ValueError, "edge_names: direction is 'references' or 'referrers'"));
  }
  VESKER_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> ids, ids_of(arguments[2]));
  const bool references = which == "references";
  return names_on_store(self, [&](labels::ObjectLabeler& labeler) -> Result<Names> {
    Names names;
    for (const std::uint64_t other : ids) {
      VESKER_ASSIGN_OR_RETURN(auto name, references ? labeler.reference_name(id, other)
                                                    : labeler.reference_name(other, id));
      names.push_back(std::move(name));
    }
    return names;
  });
}

const PyMethodDef kLabelMethods[] = {
    binding::method<kLabels, store_labels>(
        "labels",
        "labels(ids)\n--\n\nWhat each object is, from a reference that names it ('__main__.cache', 'Order.tags', "
        "\"`__main__`'s namespace\"), or None where no referrer names it."),
    binding::method<kEdgeNames, store_edge_names>(
        "edge_names",
        "edge_names(id, direction, ids)\n--\n\nThe name of each edge between the object and the objects in ids: of "
        "its references to them ('references') or of theirs to it ('referrers'); None where the dump names none."),
};

}  // namespace

std::span<const PyMethodDef> label_methods() { return kLabelMethods; }

}  // namespace vesker::engine
