// Sorted runs of an import's rows on disk, merged into the store when the import commits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error.h"
#include "core/importer/row_channel.h"
#include "core/importer/spill_file.h"
#include "core/store/sorted_rows.h"
#include "core/store/store.h"

namespace vesker {

// A dump larger than one batch is staged as sorted runs, one per batch and database, and put
// once at the end by a merge of the runs. Every key then reaches LMDB in order: the pages fill
// from left to right and are written once, where batches put one after another would insert
// into pages that earlier batches filled, splitting them and leaving them half empty.
//
// The merge keeps the semantics of putting each row on its own in input order: among records
// of one id the one of the latest run wins (each run holds only the last record of an id from
// its batch), and the duplicate databases are sets.
class SpilledRuns {
 public:
  // The runs' files go into `directory` (the store's), unlinked from the start; the first
  // `memory_bytes` of rows stay in memory instead.
  static Result<SpilledRuns> create(const std::string& directory, std::size_t memory_bytes);

  // The rows of the run being written, in key order.
  Status append_primary(std::uint64_t id, std::string_view record);
  Status append_referrer(std::uint64_t referenced, std::uint64_t referrer_big_endian);
  // Writes the sorted type-keyed rows and ends the run.
  Status end_run(const TypeKeyedRows& types, const TypeKeyedRows& sizes);

  bool empty() const noexcept { return runs_.empty(); }

  // The runs written from now on stay in memory, with room made for about `primary_bytes` and
  // `referrer_bytes` of rows: for the last one, which the merge reads at once.
  void keep_in_memory(std::size_t primary_bytes, std::size_t referrer_bytes);

  // Merges the runs and puts every row through `txn`: the merge runs on a second thread while
  // this one puts what it merged.
  Status put_all(const Store& store, Transaction& txn);

 private:
  struct Run {
    std::uint64_t primary_end = 0;
    std::uint64_t referrers_end = 0;
    std::uint64_t types_end = 0;
    std::uint64_t sizes_end = 0;
    std::vector<std::string> type_names;  // by rank, as the run's rows name them
    std::vector<std::string> size_names;
  };

  SpilledRuns(SpillFile primary, SpillFile referrers, SpillFile types, SpillFile sizes)
      : primary_(std::move(primary)), referrers_(std::move(referrers)), types_(std::move(types)),
        sizes_(std::move(sizes)) {}

  // On the merging thread: the merged rows of each database in turn, repeats and replaced
  // records dropped, handed to `channel` in chunks.
  Status merge_all(RowChannel& channel, const std::vector<std::vector<std::uint32_t>>& type_ranks,
                   const std::vector<std::vector<std::uint32_t>>& size_ranks);
  Status merge_primary(RowChannel& channel);
  Status merge_referrers(RowChannel& channel);
  Status merge_type_keyed(RowChannel& channel, std::uint8_t target, const SpillFile& file, std::uint64_t Run::*end,
                          const std::vector<std::vector<std::uint32_t>>& global_rank);
  // The union of the runs' names in key order, and each run's ranks in it.
  std::vector<std::string> all_names(std::vector<std::string> Run::*names,
                                     std::vector<std::vector<std::uint32_t>>& global_rank) const;

  SpillFile primary_;
  SpillFile referrers_;
  SpillFile types_;
  SpillFile sizes_;
  std::vector<Run> runs_;
};

}  // namespace vesker
