// Leak suspects: the objects or groups that hold most of the heap, with their paths and signatures.
#include <Python.h>

#include <optional>
#include <vector>

#include "binding/arguments.h"
#include "binding/method.h"
#include "binding/values.h"
#include "core/suspects/leak_suspects.h"
#include "engine/cancellation_object.h"
#include "engine/record_types.h"
#include "engine/retained_rows.h"
#include "engine/store_methods.h"
#include "engine/store_object.h"

namespace vesker::engine {
namespace {

using binding::Arguments;
using binding::none;
using binding::number;
using binding::text;

// A suspect with the rows of its descent and path, read in the same transaction.
struct FoundSuspect {
  suspects::Suspect suspect;
  std::vector<Row> descent;
  std::vector<Row> path;
};

struct Found {
  std::uint64_t heap = 0;
  std::vector<FoundSuspect> suspects;
};

Result<Found> find(const AnalysisStore& store, const suspects::SuspectOptions& options,
                   Progress cancellation) {
  VESKER_ASSIGN_OR_RETURN(Transaction txn, store.store.begin_read());
  VESKER_ASSIGN_OR_RETURN(suspects::SuspectReport report,
                          suspects::find_suspects(txn, store, options, std::move(cancellation)));
  Found found{report.heap, {}};
  for (suspects::Suspect& suspect : report.suspects) {
    FoundSuspect row;
    VESKER_ASSIGN_OR_RETURN(row.descent, rows_of(txn, store, suspect.descent, true));
    VESKER_ASSIGN_OR_RETURN(row.path, rows_of(txn, store, suspect.path, false));
    for (std::size_t i = 0; i < row.path.size() && i < suspect.names.size(); ++i) row.path[i].name = suspect.names[i];
    row.suspect = std::move(suspect);
    found.suspects.push_back(std::move(row));
  }
  return found;
}

PyObject* held_record(const ModuleState& module, const std::optional<suspects::HeldGroup>& held) {
  if (!held) return none();
  return record_of(module, RecordType::kHeldType, {
      {"type", text(held->type)},
      {"count", number(held->count)},
      {"retained", number(held->retained)},
      {"sample", number(held->sample)},
  });
}

PyObject* suspect_record(const ModuleState& module, const FoundSuspect& found) {
  const suspects::Suspect& suspect = found.suspect;
  return record_of(module, RecordType::kSuspectRow, {
      {"id", number(suspect.id)},
      {"retained", number(suspect.retained)},
      {"count", number(suspect.count)},
      {"object", found.descent.empty() ? none() : retained_row(module, found.descent.back())},
      {"descent", retained_rows(module, found.descent)},
      {"held", held_record(module, suspect.held)},
      {"path", retained_rows(module, found.path)},
      {"signature", text(suspect.signature)},
      {"signature_text", text(suspect.signature_text)},
  });
}

constexpr const char* kSuspectsParameters[] = {"threshold", "cancel"};
constexpr binding::Signature kSuspects{"Store.suspects", kSuspectsParameters, 0, 1};

Result<PyObject*> store_suspects(PyObject* self, Arguments<2> arguments) {
  suspects::SuspectOptions options;
  VESKER_ASSIGN_OR_RETURN(options.threshold,
                          binding::or_default(arguments[0], options.threshold, "threshold", binding::to_double));
  if (!(options.threshold > 0 && options.threshold <= 1)) {
    return fail(binding::argument_check(PyExc_ValueError,
                                        "suspects: threshold is a share of the heap, above 0 and at most 1"));
  }
  VESKER_ASSIGN_OR_RETURN(const CancelRequest cancel, cancel_argument(self, arguments[1]));
  VESKER_ASSIGN_OR_RETURN(const Found found, query_store(self, [&](const AnalysisStore& store) {
                            return find(store, options, cancel.check());
                          }));
  const ModuleState& module = class_state(Py_TYPE(self));
  return record_of(module, RecordType::kSuspectFinding, {
      {"heap", number(found.heap)},
      {"suspects", binding::list_of(found.suspects,
                                    [&](const FoundSuspect& suspect) { return suspect_record(module, suspect); })},
  });
}

const PyMethodDef kSuspectMethods[] = {
    binding::method<kSuspects, store_suspects>(
     "suspects",
     "suspects(threshold=0.1, *, cancel=None)\n--\n\nThe objects, or groups of one type, that each hold at least "
     "threshold of the heap, largest first, each at its accumulation point with a shortest named path from a root "
     "and a signature of that path. Needs fresh retained sizes."),
};

}  // namespace

std::span<const PyMethodDef> suspect_methods() { return kSuspectMethods; }

}  // namespace vesker::engine
