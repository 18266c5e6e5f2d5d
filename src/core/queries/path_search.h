// A shortest chain of references from one object to another.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "core/codecs/object_record.h"
#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/queries/object_lookup.h"
#include "core/store/store.h"

namespace vesker {

// The summaries along a shortest path from `start_id` to `end_id`, both included, or nothing
// when there is none. The search never enters an avoided id or an object of type
// "builtins.module", and drops every object whose subtree size is below the end object's. A
// failed `cancellation` check stops it with that failure.
Result<std::optional<std::vector<ObjectSummary>>> find_path_between_objects(
    const Store& store, std::uint64_t start_id, std::uint64_t end_id,
    const absl::flat_hash_set<std::uint64_t>& avoiding_ids, MissingRecords missing = MissingRecords::kFail,
    Progress cancellation = {});

}  // namespace vesker
