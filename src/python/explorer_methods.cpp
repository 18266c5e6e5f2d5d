#include "python/explorer_methods.h"

#include "binding/method.h"
#include "python/explorer_object.h"
#include "python/import_method.h"
#include "python/query_methods.h"

namespace vesker::python {
namespace {

PyMethodDef methods[] = {
    binding::method<kImportLines, import_lines>(
        "import_lines",
        "import_lines($self, lines, estimator_precision)\n--\n\n"
        "Import JSONL heap records and build the requested secondary indexes."),
    binding::method<kGetObject, get_object>(
        "get_object",
        "get_object($self, obj_id)\n--\n\nReturn one object with expanded references and referrers."),
    binding::method<kGetTypeSummaries, get_type_summaries>(
        "get_type_summaries",
        "get_type_summaries($self)\n--\n\nReturn summary rows for every known type."),
    binding::method<kGetCountForType, get_count_for_type>(
        "get_count_for_type",
        "get_count_for_type($self, typename)\n--\n\nReturn the number of objects recorded for one type."),
    binding::method<kGetPageCountForType, get_page_count_for_type>(
        "get_page_count_for_type",
        "get_page_count_for_type($self, typename)\n--\n\nReturn the number of result pages for one type."),
    binding::method<kGetObjectsByType, get_objects_by_type>(
        "get_objects_by_type",
        "get_objects_by_type($self, typename, page)\n--\n\nReturn one page of objects for a type in id order."),
    binding::method<kGetObjectsByTypeOrderedBySize, get_objects_by_type_ordered_by_size>(
        "get_objects_by_type_ordered_by_size",
        "get_objects_by_type_ordered_by_size($self, type, subtree_size, page)\n--\n\n"
        "Return one page of objects ordered by direct size or estimated subtree size."),
    binding::method<kFindPathBetweenObjects, find_path_between_objects>(
        "find_path_between_objects",
        "find_path_between_objects($self, start_id, end_id, avoiding_ids)\n--\n\n"
        "Find one reference path between two objects, optionally skipping specific IDs."),
    binding::method<kFindLargestCommonReachableObject, find_largest_common_reachable_object>(
        "find_largest_common_reachable_object",
        "find_largest_common_reachable_object($self, obj_id1, obj_id2)\n--\n\n"
        "Find the largest object reachable from both of a pair of objects"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* explorer_methods() { return methods; }

}  // namespace vesker::python
