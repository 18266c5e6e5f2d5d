// The line import: JSON records in, rows of primary, referrers, types and types_size_index out,
// all in one write transaction.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/common/error.h"
#include "core/common/phase_log.h"
#include "core/store/store.h"

namespace vesker {

class BatchWriter;
class RowBatch;

class LineImporter {
 public:
  // Rows are put in sorted batches of about this size, so an import's memory stays bounded
  // however large the dump is. Two batches exist at a time: one filled here, one being put.
  static constexpr std::size_t kDefaultBatchBytes = std::size_t{128} << 20;

  // Begins the import's write transaction; waits while another writer holds the store. With a
  // `log`, which must outlive the importer, the import's phases are timed into it.
  static Result<LineImporter> begin(const Store& store, std::size_t batch_bytes = kDefaultBatchBytes,
                                    PhaseLog* log = nullptr);

  LineImporter(LineImporter&&) noexcept;
  LineImporter& operator=(LineImporter&&) noexcept;
  ~LineImporter();  // aborts everything unless committed

  // Decodes one record and stages its rows. A bad line fails with the decoder's message; a
  // batch that could not be put fails a later line with LMDB's.
  Status add_line(std::string_view line);

  // Puts every staged row and commits. The stored content is exactly what putting each row on
  // its own, in input order, would give.
  Status commit();

 private:
  LineImporter(const Store& store, std::unique_ptr<BatchWriter> writer, std::size_t batch_bytes, PhaseLog* log);

  const Store* store_;
  std::unique_ptr<BatchWriter> writer_;
  std::unique_ptr<RowBatch> batch_;
  std::size_t batch_bytes_;
  PhaseLog* log_;
  std::chrono::steady_clock::time_point started_;  // the reading's, for the log
  double started_cpu_;
};

}  // namespace vesker
