#include "walker/heap_walk.h"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/node_hash_map.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "core/codecs/object_record.h"
#include "core/codecs/record_encoder.h"
#include "walker/address_set.h"
#include "walker/inline_values.h"
#include "walker/reference_names.h"
#include "walker/type_facts.h"

// What sys.getsizeof computes; exported by the interpreter, declared only in
// its internal headers.
extern "C" PyAPI_FUNC(size_t) _PySys_GetSizeOf(PyObject* object);

namespace vesker::walker {

namespace {

using binding::PyRef;

constexpr std::size_t kFlushBytes = 1 << 20;

std::uint64_t id_of(PyObject* object) { return reinterpret_cast<std::uintptr_t>(object); }

int collect(PyObject* object, void* into) {
  static_cast<std::vector<PyObject*>*>(into)->push_back(object);
  return 0;
}

class HeapWalk {
 public:
  explicit HeapWalk(const WalkInputs& inputs) : inputs_(inputs) {}
  HeapWalk(const HeapWalk&) = delete;
  HeapWalk& operator=(const HeapWalk&) = delete;
  ~HeapWalk() {
    for (PyObject* object : stack_) Py_DECREF(object);
    for (PyObject* object : keep_) Py_DECREF(object);
  }

  std::optional<WalkCounts> run() {
    if (!load_excluded()) return std::nullopt;
    const Py_ssize_t roots = PyList_GET_SIZE(inputs_.roots);
    // Untracked objects (strings, numbers) come on top of the tracked roots: about as many.
    seen_.reserve(excluded_.size() + 2 * static_cast<std::size_t>(roots));
    keep_.reserve(2 * static_cast<std::size_t>(roots));
    for (Py_ssize_t i = 0; i < roots; ++i) {
      // The list may shrink while user code runs (a __sizeof__), so index it anew each time.
      if (i >= PyList_GET_SIZE(inputs_.roots)) break;
      push(PyList_GET_ITEM(inputs_.roots, i));
      while (!stack_.empty()) {
        PyObject* object = stack_.back();
        stack_.pop_back();
        keep_.push_back(object);  // the stack's reference moves here
        if (!write_record(object)) return std::nullopt;
      }
    }
    if (!flush()) return std::nullopt;
    // Every id met and not left out was written: any other is a reference without a record.
    return WalkCounts{count_, seen_.size() - excluded_seen_ - count_};
  }

 private:
  bool load_excluded() {
    PyRef iterator = PyRef::steal(PyObject_GetIter(inputs_.excluded));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      const unsigned long long value = PyLong_AsUnsignedLongLong(item.get());
      if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      if (value != 0 && seen_.insert(value)) ++excluded_seen_;
      excluded_.insert(value);
    }
    return !PyErr_Occurred();
  }

  // Whether `object` was new to the walk.
  bool push(PyObject* object) {
    if (!seen_.insert(id_of(object))) return false;
    Py_INCREF(object);
    stack_.push_back(object);
    return true;
  }

  TypeFacts& facts_of(PyTypeObject* type) {
    auto found = types_.find(type);
    if (found == types_.end()) {
      found = types_.emplace(type, describe_type(type, gc_header(), inputs_.python_sizeof)).first;
      Py_ssize_t position = 0;
      PyObject* holder;
      PyObject* function;
      while (PyDict_Next(inputs_.attribute_referents, &position, &holder, &function)) {
        if (PyType_Check(holder) &&
            PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(holder))) {
          found->second.referents_kind = ReferentsKind::kCallable;
          found->second.referents_function = function;
        }
      }
      Py_INCREF(type);  // keeps the key valid: a type may die with its last instance
      held_types_.push_back(PyRef::steal(reinterpret_cast<PyObject*>(type)));
    }
    return found->second;
  }

  // Fills refs_ (borrowed, or owned through `owner`) as the Python dumper finds them.
  bool referents(PyObject* object, const TypeFacts& facts, PyRef& owner, std::uint64_t& size,
                 bool& sized) {
    refs_.clear();
    switch (facts.referents_kind) {
      case ReferentsKind::kNone:
        return true;
      case ReferentsKind::kDictItems: {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(object, &position, &key, &value)) {
          refs_.push_back(key);
          refs_.push_back(value);
        }
        return true;
      }
      case ReferentsKind::kTraverse:
        traverse(object);
        return true;
      case ReferentsKind::kTraceback:
        traverse(object);
        std::erase_if(refs_, [this](PyObject* r) { return excluded_.contains(id_of(r)); });
        return true;
      case ReferentsKind::kDictSubclass: {
        traverse(object);
        absl::flat_hash_set<PyObject*> known(refs_.begin(), refs_.end());
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(object, &position, &key, &value)) {
          if (known.insert(key).second) refs_.push_back(key);
        }
        return true;
      }
      case ReferentsKind::kCode: {
        owner = PyRef::steal(PyList_New(0));
        if (!owner) return false;
        for (const char* name : {"co_consts", "co_names", "co_filename", "co_name", "co_qualname",
                                 "co_linetable", "co_exceptiontable"}) {
          PyRef part = PyRef::steal(PyObject_GetAttrString(object, name));
          if (!part || PyList_Append(owner.get(), part.get()) < 0) return false;
        }
        break;
      }
      case ReferentsKind::kCallable:
        owner = PyRef::steal(PyObject_CallOneArg(facts.referents_function, object));
        if (!owner) return false;
        break;
      case ReferentsKind::kFrame: {
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(id_of(object)));
        if (!key) return false;
        PyObject* shot = PyDict_GetItemWithError(inputs_.frames, key.get());  // borrowed
        frame_names_ = PyRef();
        if (shot != nullptr) {
          owner = PyRef::borrow(PyTuple_GET_ITEM(shot, 0));
          size = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(shot, 1));
          if (PyErr_Occurred()) return false;
          sized = true;
          frame_names_ = PyRef::borrow(PyTuple_GET_ITEM(shot, 2));
        } else {
          if (PyErr_Occurred()) return false;
          owner = PyRef::steal(PyObject_CallOneArg(inputs_.frame_referents, object));
          if (!owner) return false;
        }
        break;
      }
    }
    if (!PyList_Check(owner.get())) {
      PyErr_SetString(PyExc_TypeError, "referents must be a list");
      return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(owner.get());
    for (Py_ssize_t i = 0; i < count; ++i) refs_.push_back(PyList_GET_ITEM(owner.get(), i));
    return true;
  }

  void traverse(PyObject* object) {
    // Like gc.get_referents: only objects the collector manages are traversed.
    if (!PyObject_IS_GC(object)) return;
    const traverseproc visit_all = Py_TYPE(object)->tp_traverse;
    if (visit_all != nullptr) visit_all(object, collect, &refs_);
    PyObject* dict = managed_dict(object);
    if (dict != nullptr && std::find(refs_.begin(), refs_.end(), dict) == refs_.end()) refs_.push_back(dict);
  }

  std::optional<std::uint64_t> size_of(PyObject* object, const SizeRule& rule) {
    if (rule.through_getsizeof) {
      const std::size_t measured = _PySys_GetSizeOf(object);
      if (measured != static_cast<std::size_t>(-1)) return measured;
      PyErr_Clear();  // a failing Python-level __sizeof__: measured as below
    }
    std::size_t header = rule.header;
    if (rule.per_object_header && !PyObject_IS_GC(object)) header = 0;
    Py_ssize_t value = -1;
    if (rule.method != nullptr) {
      PyRef size = PyRef::steal(rule.direct != nullptr
                                    ? rule.direct(object, nullptr)
                                    : PyObject_CallOneArg(rule.method, object));
      value = size ? PyLong_AsSsize_t(size.get()) : -1;
      if (value < 0) PyErr_Clear();
    }
    if (value < 0) {
      // What object.__sizeof__ says: the basic size and the items.
      PyTypeObject* type = Py_TYPE(object);
      value = type->tp_basicsize;
      if (type->tp_itemsize != 0) value += type->tp_itemsize * std::abs(Py_SIZE(object));
    }
    return static_cast<std::uint64_t>(value) + header;
  }

  // What sys.getsizeof adds for an object the collector tracks, measured on
  // a list (whose __sizeof__ is written in C).
  std::size_t gc_header() {
    if (!gc_header_) {
      gc_header_ = 0;
      PyRef list = PyRef::steal(PyList_New(0));
      const std::size_t measured =
          list ? _PySys_GetSizeOf(list.get()) : static_cast<std::size_t>(-1);
      const auto bare = static_cast<std::size_t>(PyList_Type.tp_basicsize);
      if (measured != static_cast<std::size_t>(-1) && measured >= bare) gc_header_ = measured - bare;
      PyErr_Clear();
    }
    return *gc_header_;
  }

  bool write_record(PyObject* object) {
    TypeFacts& facts = facts_of(Py_TYPE(object));
    PyRef owner;
    std::uint64_t size = 0;
    bool sized = false;
    names_.clear();
    scratch_.clear();
    if (!referents(object, facts, owner, size, sized)) return false;
    if (inputs_.namer != Py_None && !refs_.empty()) {
      if (!name_references(object, facts)) return false;
      if (names_.size() != refs_.size()) names_.clear();
    }
    record_.id = id_of(object);
    record_.type = facts.name;
    record_.references.clear();
    kept_names_.clear();
    for (std::size_t i = 0; i < refs_.size(); ++i) {
      PyObject* ref = refs_[i];
      // A reference to an object of the dumper's own has no record, so no edge.
      if (!push(ref) && excluded_.contains(id_of(ref))) continue;
      record_.references.push_back(id_of(ref));
      if (!names_.empty()) kept_names_.push_back(names_[i]);
    }
    owner = PyRef();
    if (!sized) {
      std::optional<std::uint64_t> measured = size_of(object, facts.size_rule);
      if (!measured) return false;
      size = *measured;
    }
    record_.size = size;
    record_.value = render_value(facts.value_kind, object);
    const std::size_t start = buffer_.size();
    append_raw_object_record(buffer_, record_);
    if (!kept_names_.empty()) insert_names(buffer_, start, kept_names_, scratch_);
    if (inputs_.site != Py_None && !append_site(object)) return false;
    buffer_ += '\n';
    ++count_;
    if (buffer_.size() >= kFlushBytes) return flush();
    return true;
  }

  // The site keys the Python dumper writes (`,"site":K` and, the first time, the site's frames),
  // as its own function tells them, just before the record's closing brace.
  bool append_site(PyObject* object) {
    PyRef keys = PyRef::steal(PyObject_CallOneArg(inputs_.site, object));
    if (!keys) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keys.get(), &size);
    if (text == nullptr) return false;
    if (size == 0) return true;
    buffer_.pop_back();
    buffer_.append(text, static_cast<std::size_t>(size));
    buffer_ += '}';
    return true;
  }

  // Fills names_ parallel to refs_: dicts, lists and tuples here, every other
  // kind through the Python dumper's namer (or nothing when it names none).
  bool name_references(PyObject* object, TypeFacts& facts) {
    PyTypeObject* type = Py_TYPE(object);
    if (!facts.names_only_class) {
      PyRef answer = PyRef::steal(PyObject_CallOneArg(inputs_.class_only,
                                                      reinterpret_cast<PyObject*>(type)));
      if (!answer) return false;
      facts.names_only_class = PyObject_IsTrue(answer.get()) == 1;
    }
    if (*facts.names_only_class) {
      // As the namer would: the inline attributes, then the class.
      names_.assign(refs_.size(), Name{});
      for_each_inline_attribute(object, [this](PyObject* key, PyObject* value) {
        if (!PyUnicode_CheckExact(key)) return;
        for (std::size_t i = 0; i < refs_.size(); ++i) {
          if (refs_[i] == value && names_[i].empty()) names_[i] = Name::of(attribute_name(key));
        }
      });
      PyObject* dict = managed_dict(object);
      for (std::size_t i = 0; i < refs_.size(); ++i) {
        if (refs_[i] == reinterpret_cast<PyObject*>(type) && names_[i].empty()) {
          names_[i] = Name::of(class_name_);
        }
        if (refs_[i] == dict && dict != nullptr && names_[i].empty()) names_[i] = Name::of(dict_name_);
      }
      return true;
    }
    if (facts.referents_kind == ReferentsKind::kDictItems) {
      names_.reserve(refs_.size());
      for (std::size_t i = 0; i + 1 < refs_.size(); i += 2) {
        names_.push_back(Name::of(key_marker_));
        names_.push_back(key_name_of(refs_[i]));
      }
      return true;
    }
    if (type == &PyList_Type) {
      name_items(object, refs_, names_, index_names_, texts_);
      return true;
    }
    if (type == &PyTuple_Type) {
      if (PyDict_GET_SIZE(inputs_.closures) != 0) {
        PyRef key = PyRef::steal(PyLong_FromVoidPtr(object));
        if (!key) return false;
        PyObject* cells = nullptr;
        if (PyDict_Pop(inputs_.closures, key.get(), &cells) < 0) return false;
        PyRef owned = PyRef::steal(cells);
        if (owned) read_names(owned.get());
      }
      name_items(object, refs_, names_, index_names_, texts_);
      return true;
    }
    if (facts.referents_kind == ReferentsKind::kFrame && frame_names_) {
      read_names(frame_names_.get());
      return true;
    }
    PyRef references = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(refs_.size())));
    if (!references) return false;
    for (std::size_t i = 0; i < refs_.size(); ++i) {
      PyList_SET_ITEM(references.get(), static_cast<Py_ssize_t>(i), Py_NewRef(refs_[i]));
    }
    PyRef named = PyRef::steal(PyObject_CallFunctionObjArgs(inputs_.namer, object,
                                                            references.get(), nullptr));
    if (!named) return false;
    read_names(named.get());
    return true;
  }

  // Most keys are strings met again and again (attribute names, field names);
  // their names are made once. Every key met is held until the walk ends (it
  // is pushed as a reference), so its address names it for that long.
  Name key_name_of(PyObject* key) {
    if (!PyUnicode_CheckExact(key)) {
      return scratch_name(scratch_, key_name(key, facts_of(Py_TYPE(key)).name));
    }
    auto [found, added] = key_names_.try_emplace(key);
    if (added) found->second = &texts_.add(key_name(key, facts_of(Py_TYPE(key)).name));
    return Name::of(*found->second);
  }

  // ".name" for an attribute name (kept alive by its class's shared keys).
  const std::string& attribute_name(PyObject* name) {
    auto [found, added] = attribute_names_.try_emplace(name);
    if (added) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(name, &size);
      if (data == nullptr) PyErr_Clear();
      std::string text = ".";
      text.append(data == nullptr ? std::string_view("?")
                                  : std::string_view(data, static_cast<std::size_t>(size)));
      found->second = &texts_.add(text);
    }
    return *found->second;
  }

  // A list of str or None into names_; anything else names nothing.
  void read_names(PyObject* list) {
    if (!PyList_Check(list)) return;
    const Py_ssize_t count = PyList_GET_SIZE(list);
    names_.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* name = PyList_GET_ITEM(list, i);
      if (!PyUnicode_Check(name)) {
        names_.emplace_back();
        continue;
      }
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(name, &size);
      if (data == nullptr) PyErr_Clear();
      names_.push_back(scratch_name(
          scratch_, data == nullptr ? std::string_view("?")
                                    : std::string_view(data, static_cast<std::size_t>(size))));
    }
  }

  bool flush() {
    if (buffer_.empty()) return true;
    PyRef bytes = PyRef::steal(
        PyBytes_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size())));
    if (!bytes) return false;
    buffer_.clear();
    if (!PyRef::steal(PyObject_CallOneArg(inputs_.write, bytes.get()))) return false;
    if (inputs_.progress != Py_None) {
      PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(count_));
      if (!count || !PyRef::steal(PyObject_CallOneArg(inputs_.progress, count.get()))) {
        return false;
      }
    }
    return true;
  }

  const WalkInputs& inputs_;
  AddressSet seen_;
  absl::flat_hash_set<std::uint64_t> excluded_;
  absl::node_hash_map<PyTypeObject*, TypeFacts> types_;  // stable references
  std::vector<PyRef> held_types_;
  std::vector<PyObject*> stack_;  // owned references
  std::vector<PyObject*> keep_;   // owned references
  std::vector<PyObject*> refs_;   // borrowed, valid until user code runs
  RawObjectRecord record_;
  std::string buffer_;
  std::optional<std::size_t> gc_header_;
  NameTexts texts_;
  const std::string& key_marker_ = texts_.add("<key>");
  const std::string& class_name_ = texts_.add(".__class__");
  const std::string& dict_name_ = texts_.add(".__dict__");
  absl::flat_hash_map<PyObject*, const std::string*> key_names_;
  absl::flat_hash_map<PyObject*, const std::string*> attribute_names_;
  std::vector<const std::string*> index_names_;
  std::string scratch_;  // the text of the names made for the record being written
  Names names_;       // parallel to refs_, or empty
  Names kept_names_;  // parallel to the record's references
  PyRef frame_names_;  // the names of the frame read beforehand that refs_ came from
  std::uint64_t count_ = 0;
  std::uint64_t excluded_seen_ = 0;
};

}  // namespace

std::optional<WalkCounts> walk_heap(const WalkInputs& inputs) {
  HeapWalk walk(inputs);
  return walk.run();
}

}  // namespace vesker::walker
