#include "engine/record_types.h"

#include <array>

#include "binding/record.h"
#include "engine/module_state.h"

namespace vesker::engine {
namespace {

constexpr const char* kObjectRowFields[] = {"id", "type", "value", "size", "subtree_size", "state"};
constexpr const char* kTolerantObjectFields[] = {"id",           "type",  "value",      "size",
                                                 "subtree_size", "state", "references", "referrers"};
constexpr const char* kEdgePageFields[] = {"object", "reference_count", "referrer_count", "total", "rows"};
constexpr const char* kStoreCheckFields[] = {"databases", "entries", "bytes", "problems"};
constexpr const char* kWasteFindingFields[] = {"duplicates", "containers", "totals"};
constexpr const char* kDuplicateGroupFields[] = {"type", "value", "size", "copies", "saving", "sample", "holders"};
constexpr const char* kWasteHolderFields[] = {"label", "count"};
constexpr const char* kContainerGroupFields[] = {"kind", "type", "holder", "count", "size", "saving", "sample"};
constexpr const char* kWasteTotalFields[] = {"count", "saving"};
constexpr const char* kRetainedRowFields[] = {"id",   "type",      "value",       "size", "retained",
                                              "idom", "root_edge", "unreachable", "name"};
constexpr const char* kTreeRowFields[] = {"id", "type", "value", "count", "size", "retained"};
constexpr const char* kWhyAnswerFields[] = {"dominators", "path"};
constexpr const char* kSuspectFindingFields[] = {"heap", "suspects"};
constexpr const char* kSuspectRowFields[] = {"id",   "retained", "count",     "object",        "descent",
                                             "held", "path",     "signature", "signature_text"};
constexpr const char* kHeldTypeFields[] = {"type", "count", "retained", "sample"};
constexpr const char* kSiteTotalsFields[] = {"sites", "unknown", "seconds"};
constexpr const char* kSiteRowFields[] = {"count", "size", "retained", "holders"};
constexpr const char* kUnknownSiteFields[] = {"count", "size"};
constexpr const char* kSiteSecondsFields[] = {"graph", "dominators", "sites"};
constexpr const char* kGrowthFields[] = {"objects", "growing", "sources", "sizes"};
constexpr const char* kGrowingObjectFields[] = {"id", "type", "value", "sizes"};
constexpr const char* kRetainedRunFields[] = {"objects",     "edges",        "unreachable",       "total_size",
                                              "graph_bytes", "read_seconds", "dominator_seconds", "write_seconds"};

struct Record {
  RecordType type;
  binding::RecordShape shape;
};

constexpr std::array<Record, kRecordTypeCount> kRecords = {{
    {RecordType::kObjectRow,
     {"vesker.engine.ObjectRow",
      "An object in a tolerant lookup, marked 'present', 'missing' (no record) or 'stale' (a replaced record referred "
      "to it); a missing one has None for all but its id and state.",
      kObjectRowFields}},
    {RecordType::kTolerantObject,
     {"vesker.engine.TolerantObject",
      "An object row with all its references and referrers, as object rows.",
      kTolerantObjectFields}},
    {RecordType::kEdgePage,
     {"vesker.engine.EdgePage",
      "One page of an object's references or referrers; `total` counts those that pass the filter.",
      kEdgePageFields}},
    {RecordType::kStoreCheck,
     {"vesker.engine.StoreCheck",
      "What reading every page of a store found: its databases, entries and bytes, and its problems (none for a sound "
      "store).",
      kStoreCheckFields}},
    {RecordType::kRetainedRun,
     {"vesker.engine.RetainedRun",
      "What computing the retained sizes of a store counted, and the seconds each of its phases took.",
      kRetainedRunFields}},
    {RecordType::kRetainedRow,
     {"vesker.engine.RetainedRow",
      "An object with its retained size and immediate dominator (None before they are computed), whether a root refers"
      " to it, whether it is unreachable, and the name of the reference from the row before it in a chain.",
      kRetainedRowFields}},
    {RecordType::kTreeRow,
     {"vesker.engine.TreeRow",
      "A child in the dominator tree, or the children of one type merged (id None, their count), with what they "
      "retain.",
      kTreeRowFields}},
    {RecordType::kWhyAnswer,
     {"vesker.engine.WhyAnswer",
      "What alone keeps an object alive, from the root down, and a shortest path to it from a root.",
      kWhyAnswerFields}},
    {RecordType::kSuspectFinding,
     {"vesker.engine.SuspectFinding",
      "The heap's size and its leak suspects, largest first.",
      kSuspectFindingFields}},
    {RecordType::kSuspectRow,
     {"vesker.engine.SuspectRow",
      "An object, or the top-level objects of one type (count > 1), holding a share of the heap: its accumulation "
      "point (object), the objects from there down to it (descent), what it holds most of (held), a shortest named "
      "path from a root, and that path's signature.",
      kSuspectRowFields}},
    {RecordType::kHeldType,
     {"vesker.engine.HeldType",
      "The objects of one type a suspect holds, with the largest of them as a sample.",
      kHeldTypeFields}},
    {RecordType::kWasteFinding,
     {"vesker.engine.WasteFinding",
      "Duplicate values and wasteful collections, largest saving first, with the totals of each kind of waste "
      "('duplicates', 'empty', 'over-allocated', 'sparse').",
      kWasteFindingFields}},
    {RecordType::kDuplicateGroup,
     {"vesker.engine.DuplicateGroup",
      "The copies of one str or bytes value, what sharing one would save, and their holders.",
      kDuplicateGroupFields}},
    {RecordType::kWasteHolder,
     {"vesker.engine.WasteHolder",
      "What holds copies of a duplicate value, and how many.",
      kWasteHolderFields}},
    {RecordType::kContainerGroup,
     {"vesker.engine.ContainerGroup",
      "Empty, over-allocated or sparse collections of one type held by one attribute or key.",
      kContainerGroupFields}},
    {RecordType::kWasteTotal,
     {"vesker.engine.WasteTotal",
      "The count of one kind of waste, and what removing it would save.",
      kWasteTotalFields}},
    {RecordType::kSiteTotals,
     {"vesker.engine.SiteTotals",
      "The totals of each allocation site, in site order, those of the objects without a site, and the seconds of each"
      " step.",
      kSiteTotalsFields}},
    {RecordType::kSiteRow,
     {"vesker.engine.SiteRow",
      "The count and size of one site's objects, its retained size counted once, and the (id, retained) pairs of the "
      "holders keeping most of it (id 0: the roots).",
      kSiteRowFields}},
    {RecordType::kUnknownSite,
     {"vesker.engine.UnknownSite",
      "The count and size of the objects without an allocation site.",
      kUnknownSiteFields}},
    {RecordType::kSiteSeconds,
     {"vesker.engine.SiteSeconds",
      "The seconds of each step of the site totals.",
      kSiteSecondsFields}},
    {RecordType::kGrowth,
     {"vesker.engine.Growth",
      "The objects that never shrank and grew, largest final size first; how many grew, in how many of them the growth"
      " happens, and which sizes were compared ('retained' or 'subtree').",
      kGrowthFields}},
    {RecordType::kGrowingObject,
     {"vesker.engine.GrowingObject",
      "An object of the last store with its size in each store (None before it was made).",
      kGrowingObjectFields}},
}};

constexpr bool in_order_of_record_type() {
  for (std::size_t at = 0; at < kRecords.size(); ++at) {
    if (static_cast<std::size_t>(kRecords[at].type) != at) return false;
  }
  return true;
}
static_assert(in_order_of_record_type(), "a record class is found by its RecordType");

}  // namespace

int add_record_types(PyObject* module, ModuleState& state) {
  for (std::size_t at = 0; at < kRecordTypeCount; ++at) {
    PyObject* type = binding::make_record_type(kRecords[at].shape);
    if (type == nullptr) return -1;
    state.record_types[at] = type;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) < 0) return -1;
  }
  return 0;
}

PyObject* record_of(const ModuleState& module, RecordType type,
                    std::initializer_list<std::pair<const char*, PyObject*>> items) {
  return binding::record_of(module.record_types[static_cast<std::size_t>(type)], items);
}

}  // namespace vesker::engine
