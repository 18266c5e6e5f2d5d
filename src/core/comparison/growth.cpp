#include "core/comparison/growth.h"

#include <algorithm>
#include <limits>
#include <queue>
#include <tuple>
#include <utility>

#include "core/comparison/id_ordered_records.h"
#include "core/comparison/object_identity.h"

namespace vesker {
namespace {

Result<std::optional<std::uint64_t>> size_of(const GrowthInput& dump, const ObjectSummary& object) {
  if (dump.retained == nullptr) return object.subtree_size;
  VESKER_ASSIGN_OR_RETURN(std::optional<DominatorFacts> facts, dump.retained->facts(object.id));
  if (!facts) return std::nullopt;
  return facts->retained_size;
}

// Largest final size first, then smallest id: the order of the result.
bool comes_first(const GrowingObject& a, const GrowingObject& b) {
  return std::tuple(*a.sizes.back(), b.id) > std::tuple(*b.sizes.back(), a.id);
}

// The `limit` objects that come first, the last of them on top.
class Leaders {
 public:
  explicit Leaders(std::size_t limit) : limit_(limit) {}

  bool would_keep(std::uint64_t final_size, std::uint64_t id) const {
    if (limit_ == 0) return false;
    if (heap_.size() < limit_) return true;
    const GrowingObject& last = heap_.top();
    return std::tuple(final_size, last.id) > std::tuple(*last.sizes.back(), id);
  }
  void keep(GrowingObject object) {
    heap_.push(std::move(object));
    if (heap_.size() > limit_) heap_.pop();
  }
  std::vector<GrowingObject> take_in_order() && {
    std::vector<GrowingObject> objects;
    objects.reserve(heap_.size());
    while (!heap_.empty()) {
      objects.push_back(std::move(const_cast<GrowingObject&>(heap_.top())));
      heap_.pop();
    }
    std::ranges::reverse(objects);
    return objects;
  }

 private:
  struct Later {
    bool operator()(const GrowingObject& a, const GrowingObject& b) const { return comes_first(a, b); }
  };
  std::size_t limit_;
  std::priority_queue<GrowingObject, std::vector<GrowingObject>, Later> heap_;
};

}  // namespace

Result<Growth> find_growth(std::span<const GrowthInput> dumps, std::size_t limit) {
  if (dumps.size() < 2) internal_error("growth needs at least two dumps");
  std::vector<IdOrderedRecords> records;
  records.reserve(dumps.size());
  for (const GrowthInput& dump : dumps) {
    VESKER_ASSIGN_OR_RETURN(IdOrderedRecords opened, IdOrderedRecords::open(*dump.store));
    records.push_back(std::move(opened));
  }
  const std::size_t last = dumps.size() - 1;
  Growth growth;
  Leaders leaders(limit);
  std::vector<std::optional<std::uint64_t>> sizes(dumps.size());

  for (;;) {
    std::uint64_t id = std::numeric_limits<std::uint64_t>::max();
    bool any = false;
    for (const IdOrderedRecords& dump : records) {
      if (const ObjectSummary* object = dump.current()) {
        id = std::min(id, object->id);
        any = true;
      }
    }
    if (!any) break;

    const ObjectSummary* newest = records[last].current();
    if (newest != nullptr && newest->id == id) {
      // Back through time while the same object is there and its size never shrinks going forward.
      std::ranges::fill(sizes, std::nullopt);
      VESKER_ASSIGN_OR_RETURN(sizes[last], size_of(dumps[last], *newest));
      std::size_t first = last;
      bool shrank = false;
      while (sizes[last] && first > 0) {
        const ObjectSummary* earlier = records[first - 1].current();
        if (earlier == nullptr || !is_same_object(*earlier, *records[first].current())) break;
        VESKER_ASSIGN_OR_RETURN(std::optional<std::uint64_t> size, size_of(dumps[first - 1], *earlier));
        if (!size) break;
        if (*size > *sizes[first]) {
          shrank = true;
          break;
        }
        sizes[--first] = size;
      }
      if (!shrank && first < last && *sizes[first] < *sizes[last]) {
        ++growth.growing;
        if (leaders.would_keep(*sizes[last], id)) {
          leaders.keep(GrowingObject{id, newest->type, newest->value, sizes});
        }
      }
    }
    for (IdOrderedRecords& dump : records) {
      if (const ObjectSummary* object = dump.current(); object != nullptr && object->id == id) {
        VESKER_TRY(dump.advance());
      }
    }
  }
  growth.objects = std::move(leaders).take_in_order();
  return growth;
}

}  // namespace vesker
