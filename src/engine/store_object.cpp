#include "engine/store_object.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/py_ref.h"
#include "binding/released_gil.h"
#include "engine/store_methods.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::PyRef;
using binding::ReleasedGil;

constexpr const char* kPathParameter[] = {"path"};
constexpr binding::Signature kStore{"Store", kPathParameter};

Result<PyObject*> store_new(PyTypeObject* type, Arguments<1> arguments) {
  VESKER_ASSIGN_OR_RETURN(const std::string directory, binding::to_path(arguments[0], "path"));
  Result<std::shared_ptr<const AnalysisStore>> opened = fail_message("");
  {
    // Opening may wait for another process's write transaction.
    ReleasedGil released;
    opened = AnalysisStore::open(directory);
  }
  if (!opened) return fail(std::move(opened).error());
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return fail(binding::pending());
  new (&reinterpret_cast<StoreObject*>(self.get())->store) ClosableHandle<const AnalysisStore>(std::move(*opened));
  return self.release();
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<StoreObject*>(self)->store);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr binding::Signature kClose{"Store.close", {}};

PyObject* store_close(PyObject* self, Arguments<0>) {
  // Dropping the last user closes the environment, which may flush; nothing else needs the lock.
  std::shared_ptr<const AnalysisStore> closing = reinterpret_cast<StoreObject*>(self)->store.close();
  {
    ReleasedGil released;
    closing.reset();
  }
  Py_RETURN_NONE;
}

constexpr binding::Signature kEnter{"Store.__enter__", {}};

PyObject* store_enter(PyObject* self, Arguments<0>) { return Py_NewRef(self); }

constexpr const char* kExitParameters[] = {"type", "value", "traceback"};
constexpr binding::Signature kExit{"Store.__exit__", kExitParameters, 3, 0, 3};

PyObject* store_exit(PyObject* self, Arguments<3>) { return store_close(self, {}); }

PyObject* store_path(PyObject* self, void*) {
  auto store = open_store_of(self);
  if (!store) return binding::raise(store.error());
  const std::string& path = (*store)->store.environment->canonical_path();
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

const PyMethodDef kLifetimeMethods[] = {
    binding::method<kClose, store_close>(
        "close",
        "close()\n--\n\nCloses the store; the environment stays open while another user of this process shares it."),
    binding::method<kEnter, store_enter>("__enter__", nullptr),
    binding::method<kExit, store_exit>("__exit__", nullptr),
};

PyGetSetDef store_getset[] = {
    {"path", store_path, nullptr, "The canonical path of the store directory.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Every analysis's methods in one null-terminated table, built once for the process.
PyMethodDef* all_methods() {
  static std::vector<PyMethodDef>* table = [] {
    auto* methods = new std::vector<PyMethodDef>;
    for (auto part : {lifetime_methods(), metadata_methods(), retained_methods(), lookup_methods(), check_methods(),
                      edge_methods(), suspect_methods(), waste_methods(), label_methods(), site_methods()}) {
      methods->insert(methods->end(), part.begin(), part.end());
    }
    methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return methods;
  }();
  return table->data();
}

}  // namespace

std::span<const PyMethodDef> lifetime_methods() { return kLifetimeMethods; }

PyObject* make_store_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Store(path)\n--\n\n"
                                    "A store directory opened for the analyses. In one process it shares the "
                                    "environment of a HeapDumpExplorer of the same directory.")},
      {Py_tp_new, reinterpret_cast<void*>(binding::construct<kStore, store_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
      {Py_tp_methods, all_methods()},
      {Py_tp_getset, store_getset},
      {0, nullptr},
  };
  PyType_Spec spec = {"vesker.engine.Store", sizeof(StoreObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

Result<std::shared_ptr<const AnalysisStore>> open_store_of(PyObject* self) {
  std::shared_ptr<const AnalysisStore> store = reinterpret_cast<StoreObject*>(self)->store.take();
  if (store == nullptr) return fail(binding::argument_check(PyExc_ValueError, "the store is closed"));
  return store;
}

}  // namespace vesker::engine
