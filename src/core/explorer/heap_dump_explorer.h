// The explorer behind the Python class: the open store and the coordination of its imports.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "core/common/progress.h"
#include "core/common/error.h"
#include "core/common/phase_log.h"
#include "core/store/store.h"

namespace vesker {

// How subtree sizes are computed after an import: not at all, estimated with sketches of
// growing size, or exactly.
enum class EstimatorPrecision : std::uint8_t { no_estimates, low, medium, high, exact };

class HeapDumpExplorer {
 public:
  static Result<std::unique_ptr<HeapDumpExplorer>> open(std::string_view directory);

  const Store& store() const noexcept { return store_; }

  // Serialises imports on this store. LMDB has one writer per environment; an import also
  // needs the interpreter lock to go on reading its input, so waiting for another import
  // must happen with that lock released (the caller's business), and an import started by
  // the importing thread itself (from inside its input) must be refused rather than wait.
  class ImportSlot {
   public:
    ImportSlot(ImportSlot&& other) noexcept : explorer_(std::exchange(other.explorer_, nullptr)) {}
    ImportSlot& operator=(ImportSlot&&) = delete;
    ImportSlot(const ImportSlot&) = delete;
    ImportSlot& operator=(const ImportSlot&) = delete;
    ~ImportSlot() {
      if (explorer_ == nullptr) return;
      explorer_->import_owner_.store(std::thread::id(), std::memory_order_release);
      explorer_->import_mutex_.unlock();
    }

   private:
    friend class HeapDumpExplorer;
    explicit ImportSlot(HeapDumpExplorer& explorer) : explorer_(&explorer) {}
    HeapDumpExplorer* explorer_;
  };

  // True when the calling thread is already importing into this store.
  bool importing_on_this_thread() const noexcept {
    return import_owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
  // Waits until no other import runs, then owns the store's import until the slot is dropped.
  ImportSlot acquire_import_slot();

  // Rebuilds the type summaries and, for every precision but NoEstimates, the subtree sizes,
  // all in one write transaction over the whole store; a failure leaves the store as it was.
  // A failed `cancellation` check stops it within a few thousand records, with that failure.
  // With a `log`, its phases are timed into it.
  Status run_post_import_processing(EstimatorPrecision precision, Progress cancellation = {},
                                    PhaseLog* log = nullptr) const;

 private:
  explicit HeapDumpExplorer(Store store) : store_(std::move(store)) {}

  Store store_;
  std::mutex import_mutex_;
  std::atomic<std::thread::id> import_owner_{};
};

}  // namespace vesker
