// The arguments that say which object was made at which allocation site: two bytes-like objects,
// ascending native 8-byte object ids and their native 4-byte site numbers, as many of each.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/arguments.h"

namespace vesker::engine {

struct SiteArguments {
  binding::Buffer ids;
  binding::Buffer sites;

  bool given() const { return ids.given(); }
  std::span<const std::uint64_t> id_span() const {
    return {reinterpret_cast<const std::uint64_t*>(ids.bytes().data()), ids.bytes().size() / 8};
  }
  std::span<const std::uint32_t> site_span() const {
    return {reinterpret_cast<const std::uint32_t*>(sites.bytes().data()), sites.bytes().size() / 4};
  }
};

// The pair given as `ids_name` and "sites"; ValueError, naming `function`, when they do not pair up.
Result<SiteArguments> site_arguments(PyObject* ids, const char* ids_name, PyObject* sites, const char* function);

}  // namespace vesker::engine
