#include "python/query_methods.h"

#include "core/queries/object_lookup.h"
#include "python/method.h"

namespace vesker::python {

PyObject* get_object(HeapDumpExplorer& explorer, std::span<PyObject* const, 1> arguments) {
  auto id = to_u64(arguments[0], "obj_id");
  if (!id) return raise(id.error());
  return result_to_python(vesker::get_object(explorer.store(), *id));
}

}  // namespace vesker::python
