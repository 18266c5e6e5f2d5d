#include "core/labels/object_labels.h"

#include "core/codecs/index_values.h"
#include "core/codecs/record_decoder.h"
#include "core/common/byte_order.h"
#include "core/dominators/retained_queries.h"

namespace vesker::labels {
namespace {

constexpr std::size_t kCacheLimit = 1 << 16;
constexpr std::size_t kNamedReferrers = 64;
// A module's namespace is referred to by each of its functions before, perhaps, the module.
constexpr std::size_t kReferrersAsked = 256;
constexpr std::string_view kDict = "builtins.dict";

// `['name']` -> `name` for a key that reads as an attribute, else nothing.
std::optional<std::string_view> identifier_key(std::string_view name) {
  if (name.size() < 5 || !name.starts_with("['") || !name.ends_with("']")) return std::nullopt;
  const std::string_view inner = name.substr(2, name.size() - 4);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const char c = inner[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return std::nullopt;
  }
  return inner;
}

}  // namespace

std::string_view short_type(std::string_view type) {
  const auto dot = type.rfind('.');
  return dot == std::string_view::npos ? type : type.substr(dot + 1);
}

std::string mask_digits(std::string_view name) {
  std::string masked;
  masked.reserve(name.size());
  for (const char c : name) {
    if (c >= '0' && c <= '9') {
      if (masked.empty() || masked.back() != '#') masked += '#';
    } else {
      masked += c;
    }
  }
  return masked;
}

Result<ObjectRecordNoValue> ObjectLabeler::record(std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(const auto stored, txn_.get(store_.store.primary, IdBytes(id).view()));
  if (!stored) return fail(Error::decoding("no record for id " + std::to_string(id)));
  auto decoded = decode_object_record_no_value(*stored);
  if (!decoded) return fail(Error::decoding(decoded.error()));
  return std::move(*decoded);
}

Result<std::string> ObjectLabeler::type_of(std::uint64_t id) {
  if (const auto found = types_.find(id); found != types_.end()) return found->second;
  VESKER_ASSIGN_OR_RETURN(ObjectRecordNoValue found, record(id));
  if (types_.size() < kCacheLimit) types_.emplace(id, found.type);
  return std::move(found.type);
}

// The referrer's names by referenced id, kept for the last few referrers: one dict often holds
// thousands of the objects asked about.
Result<std::optional<std::string>> ObjectLabeler::reference_name(std::uint64_t from, std::uint64_t to) {
  auto found = names_by_referrer_.find(from);
  if (found == names_by_referrer_.end()) {
    if (names_by_referrer_.size() >= kNamedReferrers) names_by_referrer_.clear();
    absl::flat_hash_map<std::uint64_t, std::string> names;
    VESKER_ASSIGN_OR_RETURN(const auto listed, dominators::read_reference_names(txn_, store_, from));
    if (listed) {
      VESKER_ASSIGN_OR_RETURN(const ObjectRecordNoValue referrer, record(from));
      for (std::size_t i = 0; i < referrer.references.size() && i < listed->size(); ++i) {
        if ((*listed)[i]) names.try_emplace(referrer.references[i], *(*listed)[i]);
      }
    }
    found = names_by_referrer_.emplace(from, std::move(names)).first;
  }
  const auto name = found->second.find(to);
  if (name == found->second.end()) return std::nullopt;
  return name->second;
}

Result<std::optional<std::pair<std::string, bool>>> ObjectLabeler::namespace_owner(std::uint64_t dict) {
  if (const auto found = owners_.find(dict); found != owners_.end()) return found->second;
  std::optional<std::pair<std::string, bool>> owner;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, store_.store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET_KEY, IdBytes(dict).view()));
  for (std::size_t asked = 0; entry && asked < kReferrersAsked && !owner; ++asked) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
    VESKER_ASSIGN_OR_RETURN(const auto name, reference_name(referrer, dict));
    if (name == ".__dict__") {
      VESKER_ASSIGN_OR_RETURN(const auto stored, txn_.get(store_.store.primary, IdBytes(referrer).view()));
      if (!stored) return fail(Error::decoding("no record for id " + std::to_string(referrer)));
      auto decoded = decode_object_summary(*stored);
      if (!decoded) return fail(Error::decoding(decoded.error()));
      const bool module = decoded->type == kModuleTypeName;
      owner.emplace(module && decoded->value ? *decoded->value : std::string(short_type(decoded->type)), module);
    }
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  if (owners_.size() < kCacheLimit) owners_.emplace(dict, owner);
  return owner;
}

Result<std::optional<RankedLabel>> ObjectLabeler::named_by(std::uint64_t referrer, std::uint64_t id, bool masked) {
  VESKER_ASSIGN_OR_RETURN(const auto name, reference_name(referrer, id));
  if (!name) return std::nullopt;
  VESKER_ASSIGN_OR_RETURN(const std::string type, type_of(referrer));
  if (*name == ".__dict__") {
    if (type == kModuleTypeName) {
      VESKER_ASSIGN_OR_RETURN(const auto summary, txn_.get(store_.store.primary, IdBytes(referrer).view()));
      if (summary) {
        auto decoded = decode_object_summary(*summary);
        if (!decoded) return fail(Error::decoding(decoded.error()));
        if (decoded->value) return RankedLabel{0, "`" + *decoded->value + "`'s namespace"};
      }
    }
    return RankedLabel{2, std::string(short_type(type)) + ".__dict__"};
  }
  if (type == kDict) {
    if (const auto key = identifier_key(*name)) {
      VESKER_ASSIGN_OR_RETURN(const auto owner, namespace_owner(referrer));
      if (owner) return RankedLabel{owner->second ? 1 : 2, owner->first + "." + std::string(*key)};
    }
  }
  // A function's globals or a frame's are some module's namespace, named better by the module.
  const bool borrowed = *name == ".__globals__" || *name == ".f_globals" || *name == ".__builtins__" ||
                        *name == ".f_builtins";
  const int rank = borrowed ? 4 : name->starts_with(".") ? 2 : 3;
  return RankedLabel{rank, std::string(short_type(type)) + (masked ? mask_digits(*name) : *name)};
}

Result<std::optional<std::string>> ObjectLabeler::label(std::uint64_t id, bool masked) {
  std::optional<RankedLabel> best;
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, store_.store.referrers));
  VESKER_ASSIGN_OR_RETURN(auto entry, cursor.seek(MDB_SET_KEY, IdBytes(id).view()));
  for (std::size_t asked = 0; entry && asked < kReferrersAsked; ++asked) {
    VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
    VESKER_ASSIGN_OR_RETURN(auto named, named_by(referrer, id, masked));
    if (named && (!best || named->rank < best->rank)) best = std::move(named);
    if (best && best->rank == 0) break;
    VESKER_ASSIGN_OR_RETURN(entry, cursor.move(MDB_NEXT_DUP));
  }
  if (!best) return std::nullopt;
  return std::move(best->text);
}

Result<std::string> ObjectLabeler::holder(std::uint64_t id) {
  VESKER_ASSIGN_OR_RETURN(auto named, label(id, true));
  if (named) return std::move(*named);
  VESKER_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, store_.store.referrers));
  VESKER_ASSIGN_OR_RETURN(const auto entry, cursor.seek(MDB_SET_KEY, IdBytes(id).view()));
  if (!entry) return std::string("the roots");
  VESKER_ASSIGN_OR_RETURN(const std::uint64_t referrer, decode_id(entry->value));
  VESKER_ASSIGN_OR_RETURN(const std::string type, type_of(referrer));
  return std::string(short_type(type));
}

}  // namespace vesker::labels
