#include "python/heap_dump_explorer.h"

#include <atomic>
#include <new>
#include <optional>

#include "binding/method.h"
#include "binding/once.h"
#include "binding/released_gil.h"
#include "python/explorer_methods.h"
#include "python/explorer_object.h"
#include "python/result_classes.h"

namespace vesker::python {

using binding::ReleasedGil;
using binding::Signature;
using binding::create_once;
using binding::raise;
using binding::to_text;

namespace {

constexpr const char* kConstructorParameters[] = {"db_path"};
constexpr Signature kConstructor{"HeapDumpExplorer.__new__", kConstructorParameters};

PyObject* explorer_new(PyTypeObject* type, binding::Arguments<1> arguments) {
  auto path = to_text(arguments[0], "db_path");
  if (!path) return raise(path.error());
  std::optional<Result<std::unique_ptr<HeapDumpExplorer>>> opened;
  {
    // Creating the databases takes LMDB's writer lock, which another process may hold.
    ReleasedGil released;
    opened.emplace(HeapDumpExplorer::open(*path));
  }
  auto& explorer = *opened;
  if (!explorer) return raise(explorer.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // dropping the explorer closes the store again
  auto* object = reinterpret_cast<ExplorerObject*>(self);
  new (&object->explorer) std::unique_ptr<HeapDumpExplorer>(std::move(*explorer));
  return self;
}

void explorer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<ExplorerObject*>(self);
  object->explorer.~unique_ptr();  // closes the environment and frees its directory for reopening
  type->tp_free(self);
  Py_DECREF(type);
}

PyTypeObject* make_explorer_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("HeapDumpExplorer(db_path)\n--\n\n"
                                    "LMDB-backed explorer for heap dumps produced by the Python dumper.")},
      {Py_tp_new, reinterpret_cast<void*>(binding::construct<kConstructor, explorer_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(explorer_dealloc)},
      {Py_tp_methods, explorer_methods()},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.HeapDumpExplorer", sizeof(ExplorerObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* heap_dump_explorer_type() {
  static std::atomic<PyTypeObject*> slot{nullptr};
  return create_once(slot, make_explorer_type);
}

}  // namespace vesker::python
