#include "python/explorer_methods.h"

#include "python/import_method.h"
#include "python/method.h"
#include "python/query_methods.h"

namespace vesker::python {
namespace {

PyMethodDef methods[] = {
    method<kImportLines, 2, import_lines>(
        "import_lines",
        "import_lines($self, lines, estimator_precision)\n--\n\n"
        "Import JSONL heap records and build the requested secondary indexes."),
    method<kGetObject, 1, get_object>(
        "get_object",
        "get_object($self, obj_id)\n--\n\nReturn one object with expanded references and referrers."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* explorer_methods() { return methods; }

}  // namespace vesker::python
