// The read-only methods of HeapDumpExplorer.
#pragma once

#include <Python.h>

#include <span>

#include "binding/arguments.h"
#include "core/explorer/heap_dump_explorer.h"

namespace vesker::python {

inline constexpr const char* kGetObjectParameters[] = {"obj_id"};
inline constexpr binding::Signature kGetObject{"HeapDumpExplorer.get_object", kGetObjectParameters};
PyObject* get_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments);

inline constexpr binding::Signature kGetTypeSummaries{"HeapDumpExplorer.get_type_summaries", {}};
PyObject* get_type_summaries(HeapDumpExplorer& explorer, std::span<PyObject* const, 0> arguments);

inline constexpr const char* kTypenameParameters[] = {"typename"};
inline constexpr binding::Signature kGetCountForType{"HeapDumpExplorer.get_count_for_type", kTypenameParameters};
PyObject* get_count_for_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments);

inline constexpr binding::Signature kGetPageCountForType{"HeapDumpExplorer.get_page_count_for_type", kTypenameParameters};
PyObject* get_page_count_for_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments);

inline constexpr const char* kGetObjectsByTypeParameters[] = {"typename", "page"};
inline constexpr binding::Signature kGetObjectsByType{"HeapDumpExplorer.get_objects_by_type", kGetObjectsByTypeParameters};
PyObject* get_objects_by_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments);

inline constexpr const char* kGetObjectsByTypeOrderedBySizeParameters[] = {"type", "subtree_size", "page"};
inline constexpr binding::Signature kGetObjectsByTypeOrderedBySize{"HeapDumpExplorer.get_objects_by_type_ordered_by_size",
                                                          kGetObjectsByTypeOrderedBySizeParameters};
PyObject* get_objects_by_type_ordered_by_size(HeapDumpExplorer& explorer, std::span<PyObject* const, 3> arguments);

inline constexpr const char* kFindPathBetweenObjectsParameters[] = {"start_id", "end_id", "avoiding_ids"};
inline constexpr binding::Signature kFindPathBetweenObjects{"HeapDumpExplorer.find_path_between_objects",
                                                   kFindPathBetweenObjectsParameters};
PyObject* find_path_between_objects(HeapDumpExplorer& explorer, std::span<PyObject* const, 3> arguments);

inline constexpr const char* kFindLargestCommonReachableObjectParameters[] = {"obj_id1", "obj_id2"};
inline constexpr binding::Signature kFindLargestCommonReachableObject{"HeapDumpExplorer.find_largest_common_reachable_object",
                                                             kFindLargestCommonReachableObjectParameters};
PyObject* find_largest_common_reachable_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments);

}  // namespace vesker::python
