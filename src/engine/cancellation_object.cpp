#include "engine/cancellation_object.h"

#include <new>
#include <utility>

#include "binding/errors.h"
#include "binding/method.h"
#include "binding/py_ref.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::PyRef;

struct CancellationObject {
  PyObject_HEAD
  // Shared with the queries polling it, which may outlive a dropped Cancellation.
  std::shared_ptr<std::atomic<bool>> flag;
};

constexpr binding::Signature kCancellation{"Cancellation", {}};

PyObject* cancellation_new(PyTypeObject* type, Arguments<0>) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&reinterpret_cast<CancellationObject*>(self.get())->flag) std::shared_ptr<std::atomic<bool>>(std::move(flag));
  return self.release();
}

void cancellation_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<CancellationObject*>(self)->flag);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr binding::Signature kCancel{"Cancellation.cancel", {}};

PyObject* cancellation_cancel(PyObject* self, Arguments<0>) {
  reinterpret_cast<CancellationObject*>(self)->flag->store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyObject* cancellation_cancelled(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<CancellationObject*>(self)->flag->load(std::memory_order_acquire));
}

PyMethodDef cancellation_methods[] = {
    binding::method<kCancel, cancellation_cancel>(
        "cancel", "cancel()\n--\n\nStops every query running with this Cancellation soon, with Cancelled."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cancellation_getset[] = {
    {"cancelled", cancellation_cancelled, nullptr, "Whether cancel() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* make_cancellation_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Cancellation()\n--\n\nPassed as `cancel` to the queries that can take long; "
                                    "cancel() stops them.")},
      {Py_tp_new, reinterpret_cast<void*>(binding::construct<kCancellation, cancellation_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(cancellation_dealloc)},
      {Py_tp_methods, cancellation_methods},
      {Py_tp_getset, cancellation_getset},
      {0, nullptr},
  };
  PyType_Spec spec = {"vesker.engine.Cancellation", sizeof(CancellationObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

Result<CancelRequest> CancelRequest::of(PyObject* object, const ModuleState& state) {
  CancelRequest request;
  if (object == nullptr || object == Py_None) return request;
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(state.cancellation_type)) {
    PyErr_Format(PyExc_TypeError, "cancel must be a Cancellation or None, not %.100s", Py_TYPE(object)->tp_name);
    return fail(binding::pending());
  }
  request.flag_ = reinterpret_cast<CancellationObject*>(object)->flag;
  return request;
}

Result<CancelRequest> cancel_argument(PyObject* self, PyObject* object) {
  return CancelRequest::of(object, class_state(Py_TYPE(self)));
}

Progress CancelRequest::check() const {
  if (flag_ == nullptr) return {};
  return Progress([flag = flag_](std::uint64_t, std::uint64_t) -> Status {
    if (flag->load(std::memory_order_acquire)) return fail(Error::cancelled());
    return {};
  });
}

}  // namespace vesker::engine
