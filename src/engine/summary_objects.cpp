#define PY_SSIZE_T_CLEAN
#include "engine/summary_objects.h"

#include <string>

#include "core/common/error.h"
#include "binding/py_ref.h"

namespace vesker::engine {

using binding::PyRef;

namespace {

PyObject* text_or_none(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
}

}  // namespace

PyObject* u64_or_none(const std::optional<std::uint64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

const char* state_name(TolerantSummary::State state) {
  switch (state) {
    case TolerantSummary::State::kPresent:
      return "present";
    case TolerantSummary::State::kMissing:
      return "missing";
    case TolerantSummary::State::kStale:
      return "stale";
  }
  internal_error("unknown summary state");
}

PyObject* summary_dict(std::uint64_t id, const std::optional<ObjectSummary>& summary, const char* state) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const auto set = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  const std::optional<std::string> type = summary ? std::optional<std::string>(summary->type) : std::nullopt;
  const bool filled =
      set("id", PyLong_FromUnsignedLongLong(id)) && set("type", text_or_none(type)) &&
      set("value", text_or_none(summary ? summary->value : std::nullopt)) &&
      set("size", u64_or_none(summary ? std::optional<std::uint64_t>(summary->size) : std::nullopt)) &&
      set("subtree_size", u64_or_none(summary ? summary->subtree_size : std::nullopt)) &&
      set("state", PyUnicode_FromString(state));
  return filled ? dict.release() : nullptr;
}

PyObject* summary_list(const std::vector<TolerantSummary>& summaries) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(summaries.size())));
  if (!list) return nullptr;
  for (std::size_t at = 0; at < summaries.size(); ++at) {
    const TolerantSummary& item = summaries[at];
    PyObject* entry = summary_dict(item.id, item.summary, state_name(item.state));
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), entry);
  }
  return list.release();
}

}  // namespace vesker::engine
