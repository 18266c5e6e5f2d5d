#include "core/explorer/heap_dump_explorer.h"

namespace vesker {

Result<std::unique_ptr<HeapDumpExplorer>> HeapDumpExplorer::open(std::string_view directory) {
  VESKER_ASSIGN_OR_RETURN(Store store, Store::open(directory));
  return std::unique_ptr<HeapDumpExplorer>(new HeapDumpExplorer(std::move(store)));
}

HeapDumpExplorer::ImportSlot HeapDumpExplorer::acquire_import_slot() {
  import_mutex_.lock();
  import_owner_.store(std::this_thread::get_id(), std::memory_order_release);
  return ImportSlot(*this);
}

}  // namespace vesker
