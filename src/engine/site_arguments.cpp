#include "engine/site_arguments.h"

#include <utility>

#include "binding/errors.h"

namespace vesker::engine {

Result<SiteArguments> site_arguments(PyObject* ids, const char* ids_name, PyObject* sites, const char* function) {
  VESKER_ASSIGN_OR_RETURN(binding::Buffer id_buffer, binding::Buffer::of(ids, ids_name));
  VESKER_ASSIGN_OR_RETURN(binding::Buffer site_buffer, binding::Buffer::of(sites, "sites"));
  const std::size_t id_bytes = id_buffer.bytes().size();
  const std::size_t site_bytes = site_buffer.bytes().size();
  if (id_bytes % 8 != 0 || site_bytes % 4 != 0 || id_bytes / 8 != site_bytes / 4) {
    PyErr_Format(PyExc_ValueError, "%s: ids must be 8-byte and sites 4-byte numbers, as many of each", function);
    return fail(binding::pending());
  }
  return SiteArguments{std::move(id_buffer), std::move(site_buffer)};
}

}  // namespace vesker::engine
