#include "python/explorer_methods.h"

#include "python/explorer_object.h"
#include "python/result_classes.h"

namespace vesker::python {
namespace {

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* explorer_methods() { return methods; }

}  // namespace vesker::python
