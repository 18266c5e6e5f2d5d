// The method tables of Store, one per analysis; the class is assembled from all of them.
#pragma once

#include <Python.h>

#include <span>

namespace vesker::engine {

std::span<const PyMethodDef> lifetime_methods();
std::span<const PyMethodDef> metadata_methods();
std::span<const PyMethodDef> retained_methods();
std::span<const PyMethodDef> lookup_methods();
std::span<const PyMethodDef> check_methods();
std::span<const PyMethodDef> edge_methods();
std::span<const PyMethodDef> suspect_methods();
std::span<const PyMethodDef> waste_methods();
std::span<const PyMethodDef> site_methods();
std::span<const PyMethodDef> label_methods();

}  // namespace vesker::engine
