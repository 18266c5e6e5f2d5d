// Results as Python values: the builders every method that returns numbers, texts, lists or
// dicts shares. Each gives a new reference, or null with an exception set; a builder handed a
// null part fails and drops the others, so calls nest without checks in between.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/py_ref.h"

namespace vesker::binding {

PyObject* number(std::uint64_t value);
// Stored text: bytes that are not UTF-8 come back as surrogates, never as a second failure.
PyObject* text(std::string_view bytes);
// Text for people, where a stray byte becomes U+FFFD.
PyObject* readable_text(std::string_view bytes);
PyObject* optional_text(const std::optional<std::string>& value);
PyObject* optional_number(std::optional<std::uint64_t> value);
PyObject* none();
// Takes the (key, new reference) pairs.
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items);

// A list of `convert(item)` for every item.
template <class Items, class Convert>
PyObject* list_of(const Items& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return nullptr;
  Py_ssize_t at = 0;
  for (const auto& item : items) {
    PyObject* value = convert(item);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), at++, value);
  }
  return list.release();
}

}  // namespace vesker::binding
