// Named, immutable records as results: one class per shape, made from its field list, and a
// builder that fills one record the way dict_of fills a dict.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>
#include <utility>

namespace vesker::binding {

struct RecordShape {
  const char* name;  // qualified by the module, "package.module.Class"
  const char* doc;
  std::span<const char* const> fields;  // static strings: the class keeps pointers to them
};

// The class of `shape`, a tuple subclass whose items are also its attributes; a new reference,
// or null with an exception set.
PyObject* make_record_type(const RecordShape& shape);

// A record of `type` from its (field, new reference) pairs, every field of the class in its
// order; a list that does not match the class is a broken invariant, raised as PanicException.
// Like dict_of, a null part fails the whole and drops the others.
PyObject* record_of(PyObject* type, std::initializer_list<std::pair<const char*, PyObject*>> items);

}  // namespace vesker::binding
