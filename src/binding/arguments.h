// Argument binding and conversion shared by every method of the native modules.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "core/common/error.h"

namespace vesker::binding {

// Parameters in declaration order: the positional-only ones first, the keyword-only ones last.
// A parameter left out of a call is bound as null and its method takes its default.
struct Signature {
  static constexpr std::size_t kEvery = std::numeric_limits<std::size_t>::max();

  const char* qualified_name;                // e.g. "HeapDumpExplorer.get_object"
  std::span<const char* const> parameters;
  std::size_t required = kEvery;             // how many of the first parameters a call must give
  std::size_t keyword_only = 0;              // how many of the last parameters come only by keyword
  std::size_t positional_only = 0;           // how many of the first parameters come only by position
};

// Matches fast-call arguments to the declared parameters; `bound` receives borrowed references
// in parameter order. Sets TypeError in the interpreter's wording and returns false on a mismatch.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);
// The same for tuple-and-dict calls (the constructors).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Conversions. On failure a Python exception is set: a TypeError is re-raised as
// "argument '<name>': <message>" keeping its cause; any other error (OverflowError) unchanged.
Result<std::uint64_t> to_u64(PyObject* object, const char* name);
// A number that fits 32 bits; OverflowError beyond.
Result<std::uint32_t> to_u32(PyObject* object, const char* name);
// An index that may be negative; OverflowError beyond Py_ssize_t.
Result<Py_ssize_t> to_ssize(PyObject* object, const char* name);
Result<double> to_double(PyObject* object, const char* name);
// A UTF-8 view of a str; valid while the object lives.
Result<std::string_view> to_text(PyObject* object, const char* name);
// A str without NUL characters, for the core's C strings (ValueError otherwise).
Result<std::string_view> to_c_text(PyObject* object, const char* name);
Result<bool> to_bool(PyObject* object, const char* name);
// Any object, by its truth.
Result<bool> to_truth(PyObject* object, const char* name);
// A file system path: str, bytes or os.PathLike, in the file system's encoding.
Result<std::string> to_path(PyObject* object, const char* name);
// `object` itself when it is an instance of `type`.
Result<PyObject*> to_instance(PyObject* object, PyTypeObject* type, const char* name);
// A page number, or nothing for None.
Result<std::optional<std::uint64_t>> to_page(PyObject* object, const char* name);
// Every element of a sequence; TypeError with `not_a_sequence` for anything else.
Result<std::vector<std::uint64_t>> to_id_list(PyObject* object, const char* name, const char* not_a_sequence);
// Every element of a set or frozenset.
Result<absl::flat_hash_set<std::uint64_t>> to_id_set(PyObject* object, const char* name);

// A parameter left out of the call takes `fallback`; a given one is converted.
template <class T, class Convert>
auto or_default(PyObject* object, T fallback, const char* name, Convert convert) -> decltype(convert(object, name)) {
  if (object == nullptr) return fallback;
  return convert(object, name);
}

// A parameter that may be None (or left out): nothing then, else its conversion.
template <class Convert>
auto or_none(PyObject* object, const char* name, Convert convert)
    -> Result<std::optional<typename decltype(convert(object, name))::value_type>> {
  if (object == nullptr || object == Py_None) return std::nullopt;
  auto value = convert(object, name);
  if (!value) return fail(std::move(value).error());
  return std::move(*value);
}

// A bytes-like argument, released when it goes.
class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      view_ = other.view_;
      other.view_.obj = nullptr;
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  static Result<Buffer> of(PyObject* object, const char* name);

  bool given() const { return view_.obj != nullptr; }
  std::span<const std::byte> bytes() const {
    return {static_cast<const std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  void release() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }

  Py_buffer view_{};
};

// Raises "'<type>' object is not an instance of '<expected>'" as a TypeError.
Error not_an_instance(PyObject* object, const char* expected);
// Prefixes a pending TypeError with the parameter name; leaves other exceptions alone.
Error argument_error(const char* name);
// Raises `type` with `message` and returns it as an error, for a method's checks of its arguments.
Error argument_check(PyObject* type, const char* message);

}  // namespace vesker::binding
