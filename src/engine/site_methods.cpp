// Allocation sites: per site the count, size and retained size of its objects, and its holders.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "core/sites/store_site_totals.h"
#include "engine/cancellation_object.h"
#include "engine/retained_rows.h"
#include "engine/site_arguments.h"
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

PyObject* site_dict(const sites::SiteTotals& totals, const std::vector<std::uint64_t>& ids) {
  PyRef holders = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(totals.holders.size())));
  if (!holders) return nullptr;
  for (std::size_t i = 0; i < totals.holders.size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(ids[totals.holders[i].holder]),
                                   static_cast<unsigned long long>(totals.holders[i].retained));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(holders.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return dict_of({
      {"count", u64(totals.count)},
      {"size", u64(totals.size)},
      {"retained", u64(totals.retained)},
      {"holders", holders.release()},
  });
}

PyObject* store_site_totals(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"ids", "sites", "site_count", "holders", "cancel", nullptr};
    SiteArguments arguments;
    unsigned int site_count = 0;
    unsigned long long holders = 5;
    PyObject* cancel_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*y*I|K$O:site_totals", const_cast<char**>(keywords), &arguments.ids.view,
                                     &arguments.sites.view, &site_count, &holders, &cancel_object)) {
      return nullptr;
    }
    if (!arguments.check("site_totals")) return nullptr;
    const auto cancel = CancelRequest::of(cancel_object);
    if (!cancel) return nullptr;
    const std::span<const std::uint64_t> id_span = arguments.id_span();
    const std::span<const std::uint32_t> site_span = arguments.site_span();
    const auto found = query_store(self, [&](const AnalysisStore& store) -> Result<sites::StoreSiteReport> {
      VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
      Progress check = cancel->check();
      return sites::store_site_totals(txn, store, id_span, site_span, site_count, holders, check);
    });
    if (!found) return nullptr;
    const sites::StoreSiteReport& result = *found;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result.report.sites.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < result.report.sites.size(); ++i) {
      PyObject* item = site_dict(result.report.sites[i], result.holder_ids);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return dict_of({
        {"sites", list.release()},
        {"unknown", dict_of({{"count", u64(result.report.unknown.count)}, {"size", u64(result.report.unknown.size)}})},
        {"seconds", dict_of({{"graph", PyFloat_FromDouble(result.graph_seconds)},
                             {"dominators", PyFloat_FromDouble(result.dominator_seconds)},
                             {"sites", PyFloat_FromDouble(result.site_seconds)}})},
    });
  });
}

const PyMethodDef kSiteMethods[] = {
    {"site_totals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_site_totals)),
     METH_VARARGS | METH_KEYWORDS,
     "site_totals(ids, sites, site_count, holders=5, *, cancel=None)\n--\n\nPer allocation site (ids: ascending "
     "native 8-byte object ids, sites: their native 4-byte site numbers): the count and size of its objects, its "
     "retained size counted once and the holders keeping most of it as (id, retained) pairs (id 0: the roots); "
     "the objects without a site as 'unknown'; and the seconds of each step."},
};

}  // namespace

std::span<const PyMethodDef> site_methods() { return kSiteMethods; }

}  // namespace vesker::engine
