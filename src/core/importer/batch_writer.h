// The import's writing, done by a thread of its own: full batches are sorted and spilled there
// while the caller decodes the next lines, and the transaction that puts them is run there.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/common/error.h"
#include "core/common/phase_log.h"
#include "core/importer/row_batch.h"
#include "core/importer/spilled_runs.h"
#include "core/store/store.h"
#include "core/store/transaction.h"

namespace vesker {

// LMDB ties a write transaction to the thread that began it (that thread holds the writer lock),
// so the transaction is begun, used and ended by the writer thread alone. The caller and the
// writer take turns over at most two batches: one being filled, one being spilled. An import
// that fits in one batch is put straight from memory.
class BatchWriter {
 public:
  // Starts the thread and waits until it has begun the transaction, or failed to. The first
  // `memory_bytes` of spilled rows stay in memory.
  static Result<std::unique_ptr<BatchWriter>> start(const Store& store, std::size_t memory_bytes,
                                                    PhaseLog* log = nullptr);

  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;
  // Aborts the transaction unless it was committed, once the batch being put is done.
  ~BatchWriter();

  // Hands `batch` over to be spilled once the batch handed over before is done, and replaces it
  // by that one, emptied, for the caller to fill next. Fails with the first error of the writer,
  // after which nothing more is written; `batch` then stays the caller's. An exception the
  // writer met (a broken invariant) is thrown again here.
  Status spill(std::unique_ptr<RowBatch>& batch);

  // Puts everything handed over and `last`, then commits.
  Status commit(std::unique_ptr<RowBatch>& last);

 private:
  enum class Phase { beginning, ready, spilling, committing, aborting, ended };

  BatchWriter(const Store& store, std::size_t memory_bytes, PhaseLog* log)
      : store_(store), memory_bytes_(memory_bytes), log_(log) {}
  void run();
  // In the writer thread: everything handed over, then `batch_`, into the store.
  Status put_and_commit(Transaction& txn);
  // With the lock held: waits until the writer is done with the batch it was given, and passes
  // on what it failed with.
  Status wait_until_idle(std::unique_lock<std::mutex>& lock);

  const Store& store_;
  std::size_t memory_bytes_;
  PhaseLog* log_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::beginning;
  Status status_;                      // the first failure of the writer
  std::exception_ptr thrown_;          // what the writer threw, for the caller to throw again
  std::unique_ptr<RowBatch> batch_;    // being spilled; afterwards, spilled and emptied
  std::optional<SpilledRuns> runs_;    // from the first spill on
  std::thread thread_;                 // last: it starts once everything above exists
};

}  // namespace vesker
