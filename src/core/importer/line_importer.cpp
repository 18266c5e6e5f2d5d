#include "core/importer/line_importer.h"

#include "core/codecs/record_decoder.h"
#include "core/importer/batch_writer.h"
#include "core/importer/row_batch.h"
#include "core/store/lmdb_error.h"

namespace vesker {
Result<LineImporter> LineImporter::begin(const Store& store, std::size_t batch_bytes, PhaseLog* log) {
  // Spilled rows up to one and a half batches stay in memory: beside the two batches and LMDB's
  // dirty pages, well within what an import may hold, and most of what a dump of a few million
  // objects spills.
  VESKER_ASSIGN_OR_RETURN(std::unique_ptr<BatchWriter> writer,
                          BatchWriter::start(store, batch_bytes + batch_bytes / 2, log));
  return LineImporter(store, std::move(writer), batch_bytes, log);
}

LineImporter::LineImporter(const Store& store, std::unique_ptr<BatchWriter> writer, std::size_t batch_bytes,
                           PhaseLog* log)
    : store_(&store),
      writer_(std::move(writer)),
      batch_(std::make_unique<RowBatch>()),
      batch_bytes_(batch_bytes),
      log_(log),
      started_(std::chrono::steady_clock::now()),
      started_cpu_(PhaseLog::thread_cpu_seconds()) {}
LineImporter::LineImporter(LineImporter&&) noexcept = default;
LineImporter& LineImporter::operator=(LineImporter&&) noexcept = default;
LineImporter::~LineImporter() = default;

Status LineImporter::add_line(std::string_view line) {
  auto record = decode_dump_line(line);
  if (!record) return fail(Error::bad_line(record.error().description, record.error().line, record.error().column));
  // Rows go into LMDB later, in batches; a type name that LMDB would refuse as a key must fail
  // here, at its own line, with the error its put would have returned.
  const auto type_size = record->type.size();
  if (type_size == 0 || type_size > static_cast<std::size_t>(mdb_env_get_maxkeysize(store_->environment->handle()))) {
    return fail(lmdb_error(MDB_BAD_VALSIZE));
  }
  batch_->add(*record);
  // A full batch is sorted partly here, partly by the writer, which then writes it out while the
  // next lines are decoded: the decoding is the longer of the two, so this thread sorts only the
  // primary rows, which balances the two threads' work best.
  if (batch_->staged_bytes() >= batch_bytes_) {
    batch_->sort_primary();
    return writer_->spill(batch_);
  }
  return {};
}

Status LineImporter::commit() {
  if (log_ != nullptr) {
    // The caller's share: taking the lines (its own reading included), decoding and staging them.
    log_->add("import/reading and decoding lines",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
              PhaseLog::thread_cpu_seconds() - started_cpu_);
  }
  {
    // Nothing is decoded any more: this thread and a second one sort the last batch, while the
    // writer may still be spilling the one before.
    PhaseLog::Timer timer(log_, "import/sorting the last batch (both threads)");
    batch_->sort_all();
  }
  return writer_->commit(batch_);
}

}  // namespace vesker
