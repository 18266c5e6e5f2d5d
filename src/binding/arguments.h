// Argument binding and conversion shared by every method of the module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "absl/container/flat_hash_set.h"
#include "core/common/error.h"

namespace vesker::binding {

struct Signature {
  const char* qualified_name;                // e.g. "HeapDumpExplorer.get_object"
  std::span<const char* const> parameters;  // every parameter is required, positional or keyword
};

// Matches fast-call arguments to the declared parameters; `bound` receives borrowed references
// in parameter order. Sets TypeError in the interpreter's wording and returns false on a mismatch.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);
// The same for tuple-and-dict calls (the constructor).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Conversions. On failure a Python exception is set: a TypeError is re-raised as
// "argument '<name>': <message>" keeping its cause; any other error (OverflowError) unchanged.
Result<std::uint64_t> to_u64(PyObject* object, const char* name);
// A UTF-8 view of a str; valid while the object lives.
Result<std::string_view> to_text(PyObject* object, const char* name);
Result<bool> to_bool(PyObject* object, const char* name);
// A page number, or nothing for None.
Result<std::optional<std::uint64_t>> to_page(PyObject* object, const char* name);
// Every element of a set or frozenset.
Result<absl::flat_hash_set<std::uint64_t>> to_id_set(PyObject* object, const char* name);

// Raises "'<type>' object is not an instance of '<expected>'" as a TypeError.
Error not_an_instance(PyObject* object, const char* expected);
// Prefixes a pending TypeError with the parameter name; leaves other exceptions alone.
Error argument_error(const char* name);

}  // namespace vesker::binding
