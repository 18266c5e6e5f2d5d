#include "python/query_methods.h"

#include <optional>
#include <string>

#include "binding/errors.h"
#include "binding/released_gil.h"
#include "core/codecs/index_values.h"
#include "core/queries/common_reachable.h"
#include "core/queries/object_lookup.h"
#include "core/queries/path_search.h"
#include "core/queries/type_listing.h"
#include "python/result_classes.h"

namespace vesker::python {

using binding::ReleasedGil;
using binding::raise;
using binding::to_bool;
using binding::to_id_set;
using binding::to_page;
using binding::to_text;
using binding::to_u64;

namespace {

// A type argument: any text names a type, "All Types" included, which is the all-types key.
Result<Type> to_type(PyObject* object, const char* name) {
  VESKER_ASSIGN_OR_RETURN(const std::string_view text, to_text(object, name));
  return Type::named(std::string(text));
}

// A core result as a Python object, or its error raised.
template <class T>
PyObject* result_to_python(Result<T>&& result) {
  if (!result) return raise(result.error());
  return to_python(std::move(*result));
}

// Runs a query of the core without the interpreter lock, so that the program's other threads go
// on while it reads the store; its result becomes Python objects afterwards, with the lock.
template <class Query>
PyObject* query_to_python(Query&& query) {
  std::optional<decltype(query())> result;
  {
    ReleasedGil released;
    result.emplace(query());
  }
  return result_to_python(std::move(*result));
}

}  // namespace

PyObject* get_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments) {
  auto id = to_u64(arguments[0], "obj_id");
  if (!id) return raise(id.error());
  return query_to_python([&] { return vesker::get_object(explorer.store(), *id); });
}

PyObject* get_type_summaries(HeapDumpExplorer& explorer, std::span<PyObject* const, 0>) {
  return query_to_python([&] { return vesker::get_type_summaries(explorer.store()); });
}

PyObject* get_count_for_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments) {
  auto type = to_type(arguments[0], "typename");
  if (!type) return raise(type.error());
  return query_to_python([&] { return vesker::get_count_for_type(explorer.store(), *type); });
}

PyObject* get_page_count_for_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments) {
  auto type = to_type(arguments[0], "typename");
  if (!type) return raise(type.error());
  return query_to_python([&] { return vesker::get_page_count_for_type(explorer.store(), *type); });
}

PyObject* get_objects_by_type(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments) {
  auto type = to_type(arguments[0], "typename");
  if (!type) return raise(type.error());
  auto page = to_page(arguments[1], "page");
  if (!page) return raise(page.error());
  return query_to_python([&] { return vesker::get_objects_by_type(explorer.store(), *type, *page); });
}

PyObject* get_objects_by_type_ordered_by_size(HeapDumpExplorer& explorer, std::span<PyObject* const, 3> arguments) {
  auto type = to_type(arguments[0], "type");
  if (!type) return raise(type.error());
  auto subtree_size = to_bool(arguments[1], "subtree_size");
  if (!subtree_size) return raise(subtree_size.error());
  auto page = to_page(arguments[2], "page");
  if (!page) return raise(page.error());
  return query_to_python(
      [&] { return vesker::get_objects_by_type_ordered_by_size(explorer.store(), *type, *subtree_size, *page); });
}

PyObject* find_path_between_objects(HeapDumpExplorer& explorer, std::span<PyObject* const, 3> arguments) {
  auto start_id = to_u64(arguments[0], "start_id");
  if (!start_id) return raise(start_id.error());
  auto end_id = to_u64(arguments[1], "end_id");
  if (!end_id) return raise(end_id.error());
  auto avoiding_ids = to_id_set(arguments[2], "avoiding_ids");
  if (!avoiding_ids) return raise(avoiding_ids.error());
  return query_to_python(
      [&] { return vesker::find_path_between_objects(explorer.store(), *start_id, *end_id, *avoiding_ids); });
}

PyObject* find_largest_common_reachable_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 2> arguments) {
  auto obj_id1 = to_u64(arguments[0], "obj_id1");
  if (!obj_id1) return raise(obj_id1.error());
  auto obj_id2 = to_u64(arguments[1], "obj_id2");
  if (!obj_id2) return raise(obj_id2.error());
  return query_to_python(
      [&] { return vesker::find_largest_common_reachable_object(explorer.store(), *obj_id1, *obj_id2); });
}

}  // namespace vesker::python
