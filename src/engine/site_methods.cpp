// Allocation sites: per site the count, size and retained size of its objects, and its holders.
#include <Python.h>

#include <span>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/values.h"
#include "core/sites/store_site_totals.h"
#include "engine/cancellation_object.h"
#include "engine/module_state.h"
#include "engine/record_types.h"
#include "engine/site_arguments.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::number;

PyObject* site_row(const ModuleState& module, const sites::SiteTotals& totals,
                   const std::vector<std::uint64_t>& ids) {
  return record_of(module, RecordType::kSiteRow, {
      {"count", number(totals.count)},
      {"size", number(totals.size)},
      {"retained", number(totals.retained)},
      {"holders", binding::list_of(totals.holders,
                                   [&](const auto& holder) {
                                     return Py_BuildValue("(KK)",
                                                          static_cast<unsigned long long>(ids[holder.holder]),
                                                          static_cast<unsigned long long>(holder.retained));
                                   })},
  });
}

constexpr const char* kSiteTotalsParameters[] = {"ids", "sites", "site_count", "holders", "cancel"};
constexpr binding::Signature kSiteTotals{"Store.site_totals", kSiteTotalsParameters, 3, 1};

Result<PyObject*> store_site_totals(PyObject* self, Arguments<5> arguments) {
  VESKER_ASSIGN_OR_RETURN(const SiteArguments given, site_arguments(arguments[0], "ids", arguments[1], "site_totals"));
  VESKER_ASSIGN_OR_RETURN(const std::uint32_t site_count, binding::to_u32(arguments[2], "site_count"));
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t holders,
                          binding::or_default(arguments[3], std::uint64_t{5}, "holders", binding::to_u64));
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[4]));
  const std::span<const std::uint64_t> id_span = given.id_span();
  const std::span<const std::uint32_t> site_span = given.site_span();
  VESKER_ASSIGN_OR_RETURN(const sites::StoreSiteReport result,
                          query_store(self, [&](const AnalysisStore& store) -> Result<sites::StoreSiteReport> {
                            VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
                            Progress check = cancel.check();
                            return sites::store_site_totals(txn, store, id_span, site_span, site_count, holders,
                                                            check);
                          }));
  const ModuleState& module = class_state(Py_TYPE(self));
  return record_of(module, RecordType::kSiteTotals, {
      {"sites", binding::list_of(result.report.sites,
                                 [&](const sites::SiteTotals& totals) {
                                   return site_row(module, totals, result.holder_ids);
                                 })},
      {"unknown", record_of(module, RecordType::kUnknownSite, {
          {"count", number(result.report.unknown.count)},
          {"size", number(result.report.unknown.size)},
      })},
      {"seconds", record_of(module, RecordType::kSiteSeconds, {
          {"graph", PyFloat_FromDouble(result.graph_seconds)},
          {"dominators", PyFloat_FromDouble(result.dominator_seconds)},
          {"sites", PyFloat_FromDouble(result.site_seconds)},
      })},
  });
}

const PyMethodDef kSiteMethods[] = {
    binding::method<kSiteTotals, store_site_totals>(
     "site_totals",
     "site_totals(ids, sites, site_count, holders=5, *, cancel=None)\n--\n\nPer allocation site (ids: ascending "
     "native 8-byte object ids, sites: their native 4-byte site numbers): the count and size of its objects, its "
     "retained size counted once and the holders keeping most of it as (id, retained) pairs (id 0: the roots); "
     "the objects without a site as 'unknown'; and the seconds of each step."),
};

}  // namespace

std::span<const PyMethodDef> site_methods() { return kSiteMethods; }

}  // namespace vesker::engine
