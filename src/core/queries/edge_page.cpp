#include "core/queries/edge_page.h"

#include <algorithm>
#include <deque>
#include <queue>
#include <string_view>

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/codecs/stored_fields.h"
#include "core/common/byte_order.h"

namespace vesker {
namespace {

// An edge as its order sees it; `position` is its place in ascending id order, the tie-break.
// The text views the read transaction's pages, or a decoded type kept in the scan's `Decoded`.
struct Ranked {
  std::int64_t number = 0;
  std::string_view text;
  std::uint64_t position = 0;
  std::uint64_t id = 0;
};

// True when `a` comes before `b` in the asked order.
struct ComesFirst {
  EdgeOrder order;
  bool descending;

  bool operator()(const Ranked& a, const Ranked& b) const {
    if (order == EdgeOrder::kType) {
      if (a.text != b.text) return descending ? a.text > b.text : a.text < b.text;
    } else if (a.number != b.number) {
      return descending ? a.number > b.number : a.number < b.number;
    }
    return a.position < b.position;
  }
};

// The number of referrers of `id`, and their ids when `collect` asks for them: a page of
// references, or the object alone, needs only the count the cursor keeps.
Result<std::pair<std::uint64_t, std::vector<std::uint64_t>>> referrers_of(const Store& store, const Transaction& txn,
                                                                         std::uint64_t id, bool collect) {
  std::vector<std::uint64_t> ids;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET, IdBytes(id).view()));
  if (!entry) return std::pair{std::uint64_t{0}, std::move(ids)};
  VESKER_ASSIGN_OR_RETURN(const std::size_t count, cursor.duplicate_count());
  if (!collect) return std::pair{std::uint64_t{count}, std::move(ids)};
  ids.reserve(count);
  VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_FIRST_DUP));
  while (entry) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer_id, decode_id(entry->value));
    ids.push_back(referrer_id);
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  return std::pair{std::uint64_t{count}, std::move(ids)};
}

// Types that only the decoder could read, kept while the scan's rows view them.
using Decoded = std::deque<std::string>;

// The edge's sort key, or nothing when the type filter drops it. `records` is a cursor on the
// primary database: the ids come in ascending order, and a cursor finds a key on the leaf page
// it is on without descending the tree again.
Result<std::optional<Ranked>> ranked(Cursor& records, const EdgePageRequest& request, std::uint64_t id,
                                     std::uint64_t position, Decoded& decoded) {
  Ranked edge{-1, {}, position, id};
  if (request.order == EdgeOrder::kId) edge.number = static_cast<std::int64_t>(position);
  VESKER_ASSIGN_OR_RETURN(auto stored, records.seek(MDB_SET_KEY, IdBytes(id).view()));
  if (!stored) {
    if (!request.type.empty()) return std::nullopt;
    return edge;
  }
  if (request.type.empty() && (request.order == EdgeOrder::kSize || request.order == EdgeOrder::kSubtree)) {
    if (const auto sizes = stored_sizes(stored->value)) {
      const std::optional<std::uint64_t> key =
          request.order == EdgeOrder::kSize ? std::optional(sizes->size) : sizes->subtree_size;
      edge.number = key ? static_cast<std::int64_t>(*key) : -1;
      return edge;
    }
  }
  if (request.order != EdgeOrder::kSize && request.order != EdgeOrder::kSubtree) {
    if (const auto type = stored_type(stored->value)) {
      if (!request.type.empty() && *type != request.type) return std::nullopt;
      if (request.order == EdgeOrder::kType) edge.text = *type;
      return edge;
    }
  }
  auto summary = decode_object_summary(stored->value);
  if (!summary) return fail(Error::decoding(summary.error()));
  if (!request.type.empty() && summary->type != request.type) return std::nullopt;
  switch (request.order) {
    case EdgeOrder::kId:
      break;
    case EdgeOrder::kSize:
      edge.number = static_cast<std::int64_t>(summary->size);
      break;
    case EdgeOrder::kSubtree:
      edge.number = summary->subtree_size ? static_cast<std::int64_t>(*summary->subtree_size) : -1;
      break;
    case EdgeOrder::kType:
      edge.text = decoded.emplace_back(std::move(summary->type));
      break;
  }
  return edge;
}

// The ids of the page's rows, in order, and the number of edges that pass the filter.
Result<std::pair<std::vector<std::uint64_t>, std::uint64_t>> choose_page(const Store& store, const Transaction& txn,
                                                                        const EdgePageRequest& request,
                                                                        const std::vector<std::uint64_t>& sorted_ids,
                                                                        Progress& cancellation) {
  const std::uint64_t count = sorted_ids.size();
  std::vector<std::uint64_t> chosen;
  if (request.order == EdgeOrder::kId && request.type.empty()) {
    // Ties keep ascending position, so descending is the id list read backwards only between
    // different ids; equal ids are the same row, so reading backwards is the same page.
    for (std::uint64_t at = request.offset; at < count && chosen.size() < request.limit; ++at) {
      chosen.push_back(sorted_ids[request.descending ? count - 1 - at : at]);
    }
    return std::pair{std::move(chosen), count};
  }
  const ComesFirst first{request.order, request.descending};
  const std::uint64_t keep = request.offset + request.limit;
  // The top is the last of the rows kept so far; a better row pushes it out.
  std::priority_queue<Ranked, std::vector<Ranked>, ComesFirst> kept(first);
  std::uint64_t total = 0;
  VESKER_ASSIGN_OR_RETURN(Cursor records, Cursor::open(txn, store.primary));
  Decoded decoded;
  for (std::uint64_t position = 0; position < count; ++position) {
    VESKER_TRY(cancellation.poll());
    VESKER_ASSIGN_OR_RETURN(auto edge, ranked(records, request, sorted_ids[position], position, decoded));
    if (!edge) continue;
    ++total;
    if (kept.size() < keep) {
      kept.push(std::move(*edge));
    } else if (keep > 0 && first(*edge, kept.top())) {
      kept.pop();
      kept.push(std::move(*edge));
    }
  }
  std::vector<std::uint64_t> best;
  best.reserve(kept.size());
  while (!kept.empty()) {
    best.push_back(kept.top().id);
    kept.pop();
  }
  std::ranges::reverse(best);
  if (request.offset < best.size()) chosen.assign(best.begin() + static_cast<std::ptrdiff_t>(request.offset), best.end());
  return std::pair{std::move(chosen), total};
}

// The row of one edge of `id`: a referrer is marked stale when its record no longer refers to `id`.
Result<TolerantSummary> edge_row(const Store& store, const Transaction& txn, std::uint64_t id, EdgeDirection direction,
                                 std::uint64_t edge_id) {
  return direction == EdgeDirection::kReferences ? tolerant_reference(store, txn, edge_id)
                                                 : tolerant_referrer(store, txn, edge_id, id);
}

}  // namespace

Result<std::optional<std::vector<std::uint64_t>>> order_edges(const Store& store, std::uint64_t id,
                                                              const EdgePageRequest& request,
                                                              Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, IdBytes(id).view()));
  if (!stored) return std::nullopt;
  auto record = decode_object_record_no_value(*stored);
  if (!record) return fail(Error::decoding(record.error()));
  std::vector<std::uint64_t> ids;
  if (request.direction == EdgeDirection::kReferrers) {
    VESKER_ASSIGN_OR_RETURN(auto referrers, referrers_of(store, txn, id, true));
    ids = std::move(referrers.second);
  } else {
    ids = std::move(record->references);
  }
  std::ranges::sort(ids);
  EdgePageRequest every = request;
  every.offset = 0;
  every.limit = ids.size();
  VESKER_ASSIGN_OR_RETURN(auto chosen, choose_page(store, txn, every, ids, cancellation));
  return std::move(chosen.first);
}

Result<std::vector<TolerantSummary>> edge_rows(const Store& store, std::uint64_t id, EdgeDirection direction,
                                               const std::vector<std::uint64_t>& edge_ids) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  std::vector<TolerantSummary> rows;
  rows.reserve(edge_ids.size());
  for (const std::uint64_t edge_id : edge_ids) {
    VESKER_ASSIGN_OR_RETURN(TolerantSummary row, edge_row(store, txn, id, direction, edge_id));
    rows.push_back(std::move(row));
  }
  return rows;
}

Result<std::optional<EdgePage>> page_edges(const Store& store, std::uint64_t id, const EdgePageRequest& request,
                                           Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.begin_read());
  VESKER_ASSIGN_OR_RETURN(auto stored, txn.get(store.primary, IdBytes(id).view()));
  if (!stored) return std::nullopt;
  auto raw = decode_raw_object_record(*stored);
  if (!raw) return fail(Error::decoding(raw.error()));
  EdgePage page;
  page.object = ObjectSummary{raw->id, std::move(raw->type), std::move(raw->value), raw->size, raw->subtree_size};
  page.reference_count = raw->references.size();
  const bool of_referrers = request.direction == EdgeDirection::kReferrers;
  // Without rows to show or a filter to count, the counts are the answer.
  const bool counts_only = request.limit == 0 && request.type.empty();
  VESKER_ASSIGN_OR_RETURN(auto referrers, referrers_of(store, txn, id, of_referrers && !counts_only));
  page.referrer_count = referrers.first;
  if (counts_only) {
    page.total = of_referrers ? page.referrer_count : page.reference_count;
    return page;
  }

  std::vector<std::uint64_t>& ids = of_referrers ? referrers.second : raw->references;
  std::ranges::sort(ids);
  VESKER_ASSIGN_OR_RETURN(auto chosen, choose_page(store, txn, request, ids, cancellation));
  page.total = chosen.second;
  page.rows.reserve(chosen.first.size());
  for (const std::uint64_t edge_id : chosen.first) {
    VESKER_ASSIGN_OR_RETURN(TolerantSummary row, edge_row(store, txn, id, request.direction, edge_id));
    page.rows.push_back(std::move(row));
  }
  return page;
}

}  // namespace vesker
