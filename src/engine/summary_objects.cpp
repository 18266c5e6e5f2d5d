#include "engine/summary_objects.h"

#include <string>

#include "binding/values.h"
#include "core/common/error.h"
#include "engine/record_types.h"

namespace vesker::engine {

using binding::none;

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

PyObject* object_row(const ModuleState& module, std::uint64_t id, const std::optional<ObjectSummary>& summary,
                     const char* state) {
  const auto readable = [](const std::optional<std::string>& text) {
    return text ? binding::readable_text(*text) : none();
  };
  return record_of(module, RecordType::kObjectRow, {
      {"id", binding::number(id)},
      {"type", summary ? binding::readable_text(summary->type) : none()},
      {"value", readable(summary ? summary->value : std::nullopt)},
      {"size", summary ? binding::number(summary->size) : none()},
      {"subtree_size", binding::optional_number(summary ? summary->subtree_size : std::nullopt)},
      {"state", PyUnicode_FromString(state)},
  });
}

PyObject* object_rows(const ModuleState& module, const std::vector<TolerantSummary>& summaries) {
  return binding::list_of(summaries, [&](const TolerantSummary& item) {
    return object_row(module, item.id, item.summary, state_name(item.state));
  });
}

}  // namespace vesker::engine
