// The names of an object's references, written by the walker itself for the
// containers that make up most of a heap (dicts, lists, tuples); the rules are
// those of the pure-Python dumper's `_Namer`, which names every other kind.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

namespace vesker::walker {

using Names = std::vector<std::optional<std::string>>;

// The name of a dict value: its key, shown without running code of the
// program ("['k']", "[7]", "[<module.Type>]"). `type_name` names other keys' types.
std::string key_name(PyObject* key, const std::string& type_name);

// "[0]", "[1]", ... for a list's or tuple's `count` references, or the names
// given (a closure's cells), reversed when the collector visited the items
// from the last to the first.
// `indices` caches the index names made so far.
void name_items(PyObject* sequence, const std::vector<PyObject*>& refs, Names given,
                Names& names, std::vector<std::string>& indices);

// Inserts `,"names":[...]` after the references of the record that starts at
// `start` in `line`, unless every name is null (as the Python dumper leaves
// the key out then).
void insert_names(std::string& line, std::size_t start, const Names& names);

}  // namespace vesker::walker
