// Errors as values, and the one exception type for broken invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace vesker {

// What kind of failure an error is, which decides how its callers (and Python) see it: each kind
// is one exception class, so that no caller ever reads the text to tell failures apart.
enum class ErrorKind {
  // Anything else: a store that cannot be opened, a thread that cannot start, ...
  failure,
  // A Python exception already set in the interpreter (raised by a call into Python); the
  // binding layer re-raises it unchanged.
  python_exception,
  // Reading or writing a file of the store (its data file, an import's spill files) failed in
  // the operating system: a full disk, an I/O error. Carries the error number; Python sees an
  // OSError with it, so that no caller takes it for a fault of the data.
  storage,
  // An object asked for by id has no record. Carries the id.
  not_found,
  // An object lacks a size the query needs (the store was imported without estimates). Carries
  // the object's id.
  not_computed,
  // A line of a dump, or a stored record, that does not decode. An input line's error carries
  // the column where decoding stopped.
  bad_record,
  // A key or value the store refuses by its size (an empty or overlong type name).
  rejected_key,
  // The store's map has no room left for the write.
  store_full,
  // The store's own structures are inconsistent: its data file is not what LMDB wrote.
  damaged,
  // The store is held by others beyond what it can share (its reader slots are taken).
  busy,
  // The caller asked the computation to stop, and it stopped without an answer.
  cancelled,
};

// The failure of an operation. The core never sets Python exceptions itself; it only passes on
// the ones that its callbacks into the binding layer report.
class Error {
 public:
  static Error python_exception_pending() { return Error(ErrorKind::python_exception, {}); }
  static Error message(std::string text) { return Error(ErrorKind::failure, std::move(text)); }
  static Error of_kind(ErrorKind kind, std::string text) { return Error(kind, std::move(text)); }
  static Error storage(int os_code, std::string text) {
    Error error(ErrorKind::storage, std::move(text));
    error.os_code_ = os_code;
    return error;
  }
  static Error not_found(std::uint64_t object_id, std::string text) {
    Error error(ErrorKind::not_found, std::move(text));
    error.object_id_ = object_id;
    return error;
  }
  static Error not_computed(std::uint64_t object_id, std::string text) {
    Error error(ErrorKind::not_computed, std::move(text));
    error.object_id_ = object_id;
    return error;
  }
  // An input line that is not a record: `reason`, then where decoding stopped.
  static Error bad_line(std::string_view reason, std::size_t line, std::size_t column) {
    Error error(ErrorKind::bad_record, std::string(reason));
    error.text_ += " at line " + std::to_string(line) + " column " + std::to_string(column);
    error.reason_size_ = reason.size();
    error.column_ = column;
    return error;
  }
  // A stored key or value that cannot be decoded.
  static Error decoding(std::string_view cause) {
    std::string text = "error while decoding: ";
    text += cause;
    return Error(ErrorKind::bad_record, std::move(text));
  }
  static Error cancelled() { return Error(ErrorKind::cancelled, "the query was cancelled"); }

  ErrorKind kind() const noexcept { return kind_; }
  bool holds_python_exception() const noexcept { return kind_ == ErrorKind::python_exception; }
  const std::string& text() const noexcept { return text_; }
  // The operating system's error number of a storage error; 0 for the other kinds.
  int os_code() const noexcept { return os_code_; }
  // The id that a not_found or not_computed error is about.
  std::uint64_t object_id() const noexcept { return object_id_; }
  // Of a bad input line: why it is not a record (the text without its position), and the column.
  std::string_view reason() const noexcept { return std::string_view(text_).substr(0, reason_size_); }
  std::size_t column() const noexcept { return column_; }

 private:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)), reason_size_(text_.size()) {}

  ErrorKind kind_;
  std::string text_;
  std::size_t reason_size_;
  int os_code_ = 0;
  std::uint64_t object_id_ = 0;
  std::size_t column_ = 0;
};

// A value or the error that stopped its computation. Dropping one unread is almost always a
// lost error, so the compiler warns about it.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
};

// The outcome of an operation that yields nothing but may fail.
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }
inline std::unexpected<Error> fail_message(std::string text) { return fail(Error::message(std::move(text))); }
inline std::unexpected<Error> fail_as(ErrorKind kind, std::string text) {
  return fail(Error::of_kind(kind, std::move(text)));
}

// A broken internal invariant. It is never an expected outcome of any input: it
// unwinds through every RAII owner (transactions, borrows, the released
// interpreter lock) and the binding layer reports it as PanicException.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_error(const char* message) { throw InternalError(message); }

// The texts of the two invariant stops shared by the traversal and the maps it uses.
inline constexpr const char* kMissingMapEntry = "no entry found for key";
inline constexpr const char* kMissingOptional = "called `Option::unwrap()` on a `None` value";

}  // namespace vesker

// Propagates the error of an expression of type Result<T> / Status.
#define VESKER_TRY(expr)                                                  \
  do {                                                                    \
    if (auto vesker_try_result_ = (expr); !vesker_try_result_)            \
      return ::vesker::fail(std::move(vesker_try_result_).error());       \
  } while (false)

#define VESKER_CONCAT_INNER(a, b) a##b
#define VESKER_CONCAT(a, b) VESKER_CONCAT_INNER(a, b)
// Binds the value of a Result<T> expression to `decl`, or propagates its error.
#define VESKER_ASSIGN_OR_RETURN(decl, expr) \
  VESKER_ASSIGN_OR_RETURN_IMPL(VESKER_CONCAT(vesker_result_, __LINE__), decl, expr)
#define VESKER_ASSIGN_OR_RETURN_IMPL(tmp, decl, expr)            \
  auto tmp = (expr);                                             \
  if (!tmp) return ::vesker::fail(std::move(tmp).error());       \
  decl = std::move(*tmp)
