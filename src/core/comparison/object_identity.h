// When a record of a later dump of one process is the same object as a record of an earlier one.
#pragma once

#include "core/comparison/record_view.h"

namespace vesker {

// CPython never moves an object, so within one process an id names one object for its whole
// life; after the object dies its address may be given to another. A reused address seldom keeps
// the type, and for the immutable value types (str, bytes, numbers) a different value gives the
// reuse away as well, so the value is compared there too. Mutable objects keep their identity
// whatever their value became.
bool is_same_object(const RecordView& earlier, const RecordView& later);

}  // namespace vesker
