// The names of an object's references, written by the walker itself for the
// containers that make up most of a heap (dicts, lists, tuples); the rules are
// those of the pure-Python dumper's `_Namer`, which names every other kind.
#pragma once

#include <Python.h>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace vesker::walker {

// A reference's name, kept as the JSON string it is written as ("\".items\""), so that a name
// met a million times is escaped once: either text that lives as long as the walk (`stored`)
// or a span of the record's own scratch text. Empty: no name (null).
struct Name {
  const std::string* stored = nullptr;
  std::uint32_t begin = 0;  // in the scratch text, when not stored
  std::uint32_t size = 0;

  bool empty() const { return size == 0; }
  static Name of(const std::string& text) {
    return {&text, 0, static_cast<std::uint32_t>(text.size())};
  }
};

using Names = std::vector<Name>;

// Names as JSON strings that live as long as the walk (each escaped once).
class NameTexts {
 public:
  const std::string& add(std::string_view name);

 private:
  std::deque<std::string> texts_;  // never moves its elements
};

// Appends `text` as a JSON string.
void append_json_string(std::string& out, std::string_view text);

// `name` as a name made for one record, its JSON text appended to `scratch`.
Name scratch_name(std::string& scratch, std::string_view name);

// The name of a dict value: its key, shown without running code of the
// program ("['k']", "[7]", "[<module.Type>]"). `type_name` names other keys' types.
std::string key_name(PyObject* key, const std::string& type_name);

// "[0]", "[1]", ... for a list's or tuple's references, or the names already in
// `names` (a closure's cells), reversed when the collector visited the items
// from the last to the first. `indices` caches the index names made so far.
void name_items(PyObject* sequence, const std::vector<PyObject*>& refs, Names& names,
                std::vector<const std::string*>& indices, NameTexts& texts);

// Inserts `,"names":[...]` after the references of the record that starts at
// `start` in `line`, unless every name is null (as the Python dumper leaves
// the key out then). `scratch` holds the names made for this record.
void insert_names(std::string& line, std::size_t start, const Names& names,
                  const std::string& scratch);

}  // namespace vesker::walker
