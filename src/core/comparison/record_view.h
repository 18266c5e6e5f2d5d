// What the comparisons read of stored records without decoding them.
#pragma once

#include <string_view>

#include "core/codecs/stored_fields.h"

namespace vesker {

// Whether two stored records agree in everything but their subtree sizes (which change with what
// lies below an object), without reading them: then their ids, types, references, values and
// sizes are the same.
bool same_but_subtree_size(std::string_view stored, std::string_view other);

}  // namespace vesker
