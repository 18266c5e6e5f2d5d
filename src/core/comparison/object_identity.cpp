#include "core/comparison/object_identity.h"

#include <string_view>

namespace vesker {
namespace {

bool has_identifying_value(std::string_view type) {
  return type == "builtins.str" || type == "builtins.bytes" || type == "builtins.int" || type == "builtins.float" ||
         type == "builtins.complex";
}

}  // namespace

bool is_same_object(const RecordView& earlier, const RecordView& later) {
  if (earlier.id != later.id || earlier.type != later.type) return false;
  return !has_identifying_value(later.type) || earlier.value == later.value;
}

}  // namespace vesker
