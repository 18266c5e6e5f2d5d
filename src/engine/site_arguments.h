// The arguments that say which object was made at which allocation site: two bytes-like objects,
// ascending native 8-byte object ids and their native 4-byte site numbers, as many of each.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace vesker::engine {

// A bytes-like argument, released when the call ends.
struct Buffer {
  Py_buffer view{};
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (view.obj != nullptr) PyBuffer_Release(&view);
  }
};

struct SiteArguments {
  Buffer ids;
  Buffer sites;

  bool given() const { return ids.view.obj != nullptr; }
  // False with a ValueError set when the two do not pair up.
  bool check(const char* function) const {
    if (ids.view.len % 8 != 0 || sites.view.len % 4 != 0 || ids.view.len / 8 != sites.view.len / 4) {
      PyErr_Format(PyExc_ValueError, "%s: ids must be 8-byte and sites 4-byte numbers, as many of each", function);
      return false;
    }
    return true;
  }
  std::span<const std::uint64_t> id_span() const {
    return {static_cast<const std::uint64_t*>(ids.view.buf), static_cast<std::size_t>(ids.view.len / 8)};
  }
  std::span<const std::uint32_t> site_span() const {
    return {static_cast<const std::uint32_t*>(sites.view.buf), static_cast<std::size_t>(sites.view.len / 4)};
  }
};

}  // namespace vesker::engine
