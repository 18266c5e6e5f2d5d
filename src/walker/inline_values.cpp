#include "walker/inline_values.h"

#include <algorithm>
#include <cstdint>

namespace vesker::walker {

namespace {

// The interpreter's own structures (Include/internal/pycore_dict.h of 3.13
// and 3.14), which it does not export.
struct SharedKeys {
  Py_ssize_t dk_refcnt;
  std::uint8_t dk_log2_size;
  std::uint8_t dk_log2_index_bytes;
  std::uint8_t dk_kind;
  std::uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
  char dk_indices[1];
};

struct UnicodeEntry {
  PyObject* me_key;
  PyObject* me_value;
};

struct InlineValues {
  std::uint8_t capacity;
  std::uint8_t size;
  std::uint8_t embedded;
  std::uint8_t valid;
  PyObject* values[1];
};

constexpr std::uint8_t kGeneralKeys = 0;  // DICT_KEYS_GENERAL: not the shared kind

}  // namespace

bool for_each_inline_attribute(PyObject* object,
                               const std::function<void(PyObject*, PyObject*)>& each) {
#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030F0000 || defined(Py_GIL_DISABLED)
  (void)object;
  (void)each;
  return false;
#else
  PyTypeObject* type = Py_TYPE(object);
  if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ||
      !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    return false;
  }
  const auto* values = reinterpret_cast<const InlineValues*>(
      reinterpret_cast<const char*>(object) + type->tp_basicsize);
  const auto* keys =
      reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
  if (!values->valid || keys == nullptr || keys->dk_kind == kGeneralKeys) return false;
  const auto* entries = reinterpret_cast<const UnicodeEntry*>(
      keys->dk_indices + (std::size_t{1} << keys->dk_log2_index_bytes));
  const Py_ssize_t count = std::min<Py_ssize_t>(values->capacity, keys->dk_nentries);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* value = values->values[i];
    PyObject* key = entries[i].me_key;
    if (value != nullptr && key != nullptr) each(key, value);
  }
  return true;
#endif
}

PyObject* managed_dict(PyObject* object) {
#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030F0000 || defined(Py_GIL_DISABLED)
  (void)object;
  return nullptr;
#else
  if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_INLINE_VALUES)) return nullptr;
  // The slot three words before the object (MANAGED_DICT_OFFSET), ahead of the collector's header.
  return *reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(object) -
                                              3 * sizeof(PyObject*));
#endif
}

}  // namespace vesker::walker
