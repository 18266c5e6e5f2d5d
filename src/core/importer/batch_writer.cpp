#include "core/importer/batch_writer.h"

#include <system_error>
#include <utility>

#include "core/store/transaction.h"

namespace vesker {

Result<std::unique_ptr<BatchWriter>> BatchWriter::start(const Store& store, std::size_t memory_bytes,
                                                        PhaseLog* log) {
  std::unique_ptr<BatchWriter> writer(new BatchWriter(store, memory_bytes, log));
  try {
    writer->thread_ = std::thread([raw = writer.get()] { raw->run(); });
  } catch (const std::system_error& error) {
    return fail_message(std::string("cannot start the import's writer thread: ") + error.what());
  }
  std::unique_lock lock(writer->mutex_);
  VESKER_TRY(writer->wait_until_idle(lock));
  return writer;
}

BatchWriter::~BatchWriter() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return phase_ != Phase::beginning && phase_ != Phase::spilling; });
    if (phase_ == Phase::ready) phase_ = Phase::aborting;
  }
  changed_.notify_all();
  thread_.join();
}

Status BatchWriter::wait_until_idle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [&] { return phase_ != Phase::beginning && phase_ != Phase::spilling; });
  if (thrown_) std::rethrow_exception(thrown_);
  return status_;
}

Status BatchWriter::spill(std::unique_ptr<RowBatch>& batch) {
  std::unique_lock lock(mutex_);
  VESKER_TRY(wait_until_idle(lock));
  if (phase_ != Phase::ready) internal_error("a batch handed to an import that has ended");
  std::swap(batch_, batch);
  phase_ = Phase::spilling;
  lock.unlock();
  changed_.notify_all();
  if (!batch) batch = std::make_unique<RowBatch>();
  return {};
}

Status BatchWriter::commit(std::unique_ptr<RowBatch>& last) {
  std::unique_lock lock(mutex_);
  VESKER_TRY(wait_until_idle(lock));
  if (phase_ != Phase::ready) internal_error("an import committed after it ended");
  batch_ = std::move(last);  // the emptied batch goes: nothing is filled any more
  phase_ = Phase::committing;
  changed_.notify_all();
  changed_.wait(lock, [&] { return phase_ == Phase::ended; });
  if (thrown_) std::rethrow_exception(thrown_);
  return status_;
}

Status BatchWriter::put_and_commit(Transaction& txn) {
  if (runs_) {
    {
      // The last run is read back at once: it stays in memory, in the room the batch frees,
      // rather than going through the file system.
      PhaseLog::Timer timer(log_, "import/staging the last batch as a run");
      VESKER_TRY(batch_->spill(*runs_, true));
      batch_.reset();  // its memory is better spent on the transaction's pages
    }
    PhaseLog::Timer timer(log_, "import/merging and putting");
    VESKER_TRY(runs_->put_all(store_, txn));
    runs_.reset();
  } else {
    PhaseLog::Timer timer(log_, "import/putting");
    VESKER_TRY(batch_->put_all(store_, txn));
    batch_.reset();
  }
  PhaseLog::Timer timer(log_, "import/committing");
  VESKER_TRY(store_.environment->check_data_file_linked());
  return txn.commit();
}

void BatchWriter::run() {
  // Waits while another writer holds the store.
  Result<Transaction> begun = store_.begin_write();
  std::unique_lock lock(mutex_);
  if (!begun) {
    status_ = fail(begun.error());
    phase_ = Phase::ended;
    changed_.notify_all();
    return;
  }
  Transaction& txn = *begun;
  phase_ = Phase::ready;
  changed_.notify_all();
  for (;;) {
    changed_.wait(lock, [&] { return phase_ != Phase::ready; });
    if (phase_ == Phase::aborting) {
      txn.abort();
      phase_ = Phase::ended;
      return;
    }
    const bool committing = phase_ == Phase::committing;
    lock.unlock();
    Status done;
    std::exception_ptr thrown;
    try {
      if (committing) {
        done = put_and_commit(txn);
      } else {
        if (!runs_) {
          Result<SpilledRuns> created = SpilledRuns::create(store_.environment->canonical_path(), memory_bytes_);
          if (created) runs_.emplace(std::move(*created));
          else done = fail(created.error());
        }
        PhaseLog::Timer timer(log_, "import/spilling batches (second thread)");
        if (done) done = batch_->spill(*runs_);
      }
    } catch (...) {
      thrown = std::current_exception();
    }
    lock.lock();
    if (thrown) thrown_ = thrown;
    if (!done) status_ = std::move(done);
    // After a failure the transaction is only aborted: LMDB refuses any further use of it.
    phase_ = committing || thrown || !status_ ? Phase::ended : Phase::ready;
    changed_.notify_all();
    if (phase_ == Phase::ended) return;
  }
}

}  // namespace vesker
