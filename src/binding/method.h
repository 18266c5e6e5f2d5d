// The one shape of every method of the native modules: a fast-call function with keywords whose
// arguments the binder matches to the method's signature before its body runs.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <utility>

#include "binding/arguments.h"
#include "binding/errors.h"

namespace vesker::binding {

template <std::size_t N>
using Arguments = std::span<PyObject* const, N>;

// What a body receives as its first parameter, made from the object the method is called on
// (the instance, or the module for a module function). A module specializes it for its classes.
template <class Receiver>
Receiver receiver(PyObject* self);
template <>
inline PyObject* receiver<PyObject*>(PyObject* self) {
  return self;
}

// A body gives a new reference, or null with an exception set, or the error to raise.
inline PyObject* returned(PyObject* object) { return object; }
inline PyObject* returned(Result<PyObject*>&& result) { return result ? *result : raise(result.error()); }

template <class F>
struct BodyOf;
template <class R, class Receiver, std::size_t N>
struct BodyOf<R (*)(Receiver, Arguments<N>)> {
  using ReceiverType = Receiver;
  static constexpr std::size_t arity = N;
};

// The fast-call entry point of one method: binds the arguments and turns broken invariants into
// PanicException. The method descriptors of a class have checked the receiver already.
template <const Signature& S, auto Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Of = BodyOf<decltype(Body)>;
  static_assert(Of::arity == S.parameters.size(), "a body takes one argument per parameter");
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, Of::arity> bound{};
    if (!bind_arguments(S, args, nargs, kwnames, bound)) return nullptr;
    return returned(Body(receiver<typename Of::ReceiverType>(self), Arguments<Of::arity>(bound)));
  });
}

// The method table entry of one method.
template <const Signature& S, auto Body>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall<S, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

// The tp_new of a class whose constructor binds its arguments like a method; the body receives
// the class.
template <const Signature& S, auto Body>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using Of = BodyOf<decltype(Body)>;
  static_assert(Of::arity == S.parameters.size(), "a body takes one argument per parameter");
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, Of::arity> bound{};
    if (!bind_arguments(S, args, kwargs, bound)) return nullptr;
    return returned(Body(type, Arguments<Of::arity>(bound)));
  });
}

}  // namespace vesker::binding
