#include "store/py_convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "store/dict_shape.h"
#include "store/json/json_writer.h"
#include "store/json/number_text.h"
#include "store/json/utf8.h"
#include "store/py_type.h"

namespace vedra::py {
namespace {

// Clears a probing error unless it must propagate (BaseException that is not
// an Exception: KeyboardInterrupt, SystemExit, GeneratorExit, ...).
// Returns false when the error must propagate.
bool clear_probe_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

// UTF-8 of a str with every lone surrogate replaced by U+FFFD.
bool str_to_utf8_lossy(PyObject* s, std::string& out) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
    out.append(p, static_cast<size_t>(n));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Py_UCS4* ucs4 = PyUnicode_AsUCS4Copy(s);
  if (ucs4 == nullptr) return false;
  const Py_ssize_t len = PyUnicode_GetLength(s);
  for (Py_ssize_t i = 0; i < len; ++i) append_utf8_replacing_surrogates(ucs4[i], out);
  PyMem_Free(ucs4);
  return true;
}

// str(obj) as UTF-8, lone surrogates replaced.
bool str_of(PyObject* obj, std::string& out) {
  Ref s(PyObject_Str(obj));
  if (!s) return false;
  return str_to_utf8_lossy(s.get(), out);
}

// 1 true, 0 false, -1 not a NumPy boolean, -2 error that must propagate.
int numpy_bool_value(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module) return clear_probe_error() ? -1 : -2;
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return -1;
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!name) return clear_probe_error() ? -1 : -2;
  if (!PyUnicode_Check(name.get()) || (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
                                       PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)) {
    return -1;
  }
  Ref method(PyObject_GetAttrString(type, "__bool__"));
  if (!method) return clear_probe_error() ? -1 : -2;
  Ref result(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return clear_probe_error() ? -1 : -2;
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return clear_probe_error() ? -1 : -2;
  return truth;
}

// Types whose values never reach the NumPy test.
inline bool is_plain_builtin(PyObject* obj) {
  return PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyUnicode_CheckExact(obj) || PyDict_CheckExact(obj) ||
         PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

enum class Probe { kNo, kYes, kError };

// The bool, integer and double rules shared by both conversions.
struct Scalar {
  enum Kind { kBool, kInt, kDouble } kind;
  bool b;
  long long i;
  double d;
};

Probe probe_scalar(PyObject* obj, Scalar& out) {
  if (PyBool_Check(obj)) {
    out.kind = Scalar::kBool;
    out.b = obj == Py_True;
    return Probe::kYes;
  }
  if (!is_plain_builtin(obj)) {
    const int nb = numpy_bool_value(obj);
    if (nb == -2) return Probe::kError;
    if (nb >= 0) {
      out.kind = Scalar::kBool;
      out.b = nb == 1;
      return Probe::kYes;
    }
  }
  if (!PyFloat_CheckExact(obj)) {
    const long long v = PyLong_AsLongLong(obj);
    if (!(v == -1 && PyErr_Occurred())) {
      out.kind = Scalar::kInt;
      out.i = v;
      return Probe::kYes;
    }
    if (!clear_probe_error()) return Probe::kError;
  }
  const double d = PyFloat_AsDouble(obj);
  if (!(d == -1.0 && PyErr_Occurred())) {
    out.kind = Scalar::kDouble;
    out.d = d;
    return Probe::kYes;
  }
  if (!clear_probe_error()) return Probe::kError;
  return Probe::kNo;
}

class RecursionGuard {
 public:
  bool enter(int depth) {
    if (depth > kMaxConvertDepth) {
      PyErr_SetString(PyExc_RecursionError, "maximum nesting depth exceeded while converting a record");
      return false;
    }
    if (Py_EnterRecursiveCall(" while converting a record")) return false;
    entered_ = true;
    return true;
  }
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }

 private:
  bool entered_ = false;
};

}  // namespace

// The shape a dict met at one place had, with its key objects in iteration
// order.  A dict whose keys are these very objects, in this order, has this
// shape: a str's text never changes, and holding the objects keeps their
// addresses from being reused.  Only exact str keys are held (no object
// that could refer back to the engine).
struct ShapeHint {
  DictShapeCache::Handle shape;
  std::vector<Ref> keys;  // empty: no hint
};

// Records of a few kinds (say stocks, funds and bonds) bring dicts of
// different shapes to one place: each place remembers a few, the oldest
// replaced.
constexpr size_t kHintWays = 8;
struct ShapeHints {
  ShapeHint ways[kHintWays];
  uint8_t next = 0;  // the way filled next
  uint8_t last = 0;  // the way that matched last: tried first
};

struct JsonConversionMemory::Level {
  std::vector<std::string_view> key_texts;        // UTF-8 of the keys (kept alive by `keys`)
  std::vector<std::pair<size_t, size_t>> values;  // value text of each key in the output buffer
  std::vector<PyObject*> keys;                    // owned references, during a call only
  std::string written;                            // the members' value texts, in iteration order
  DictShape shape;  // a shape worked out for one dict alone
  // Records of one catalogue meet their dicts at each depth in the same
  // order: the n-th dict at this depth in a conversion is hinted by what
  // the n-th dicts were in the conversions before.
  std::vector<ShapeHints> hints;
  size_t dicts = 0;  // dicts met at this depth in this conversion
  // While flattening: where each member's collected values end, and, for
  // the record itself, what each of its members gave.
  std::vector<size_t> piece_ends;
  std::vector<FlattenCollector::TopMember> top;
};

namespace {
constexpr size_t kHintsPerLevel = 16;
}  // namespace

namespace {

// ---- Python object -> compact JSON text --------------------------------------
//
// A dict's values are written into its level's buffer, in the dict's own
// iteration order (so Python callbacks run in that order, once each).  Its
// members are then reordered by key bytes: each member's text is a span of
// that buffer, and the object is assembled from the spans, in the order of
// its key sequence's shape (store/dict_shape.h, taken from the engine's
// cache when the sequence was seen before), into the buffer of the level
// above, or the output for the outermost dict.  So a value's text is copied
// once per dict that holds it.  Buffers are reused per nesting level, so
// steady-state conversion does not allocate.

using Level = JsonConversionMemory::Level;

// Copies n bytes to w and returns the end: the short texts a record is made
// of as a word or two (overlapping), not a call.
inline char* put_bytes(char* w, const char* p, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t head, tail;
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
    std::memcpy(w, &head, 8);
    std::memcpy(w + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    std::memcpy(w, &head, 4);
    std::memcpy(w + n - 4, &tail, 4);
  } else if (n > 16) {
    std::memcpy(w, p, n);
  } else {
    for (size_t i = 0; i < n; ++i) w[i] = p[i];
  }
  return w + n;
}

// True when `s` holds no byte a JSON string escapes: whole words, the last
// one overlapping, for the short texts records are made of.
inline bool needs_no_escape(std::string_view s) {
  const char* const p = s.data();
  const size_t n = s.size();
  if (n >= 8) {
    uint64_t stop = 0;
    for (size_t i = 0; i + 8 <= n; i += 8) stop |= string_stop_bytes(load8(p + i));
    return (stop | string_stop_bytes(load8(p + n - 8))) == 0;
  }
  uint64_t w = kByteOnes * 'a';  // plain filler where the text is shorter
  if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    w = head | uint64_t{tail} << 32;
  } else if (n != 0) {
    w = (w & ~uint64_t{0xFFFFFF}) | static_cast<unsigned char>(p[0]) |
        uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 | uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
  }
  return string_stop_bytes(w) == 0;
}

class JsonTextWriter {
 public:
  JsonTextWriter(std::string& out, std::vector<Level>& levels, DictShapeCache* shapes, FlattenCollector* collect)
      : out_(out), shapes_(shapes), levels_(levels), collect_(collect) {}
  ~JsonTextWriter() {
    for (Level& l : levels_) release_keys(l);
  }

  bool write(PyObject* obj, int depth, std::vector<MemberSpan>* spans);
  int max_depth() const { return max_depth_; }

 private:
  // Makes `where` and the dict's keys a hint for the next dicts met at this
  // place; only when the keys are all exact str.  Never fails: a hint that
  // cannot be made is dropped.
  static void remember_hint(Level& l, size_t ordinal, DictShapeCache::Handle where) noexcept {
    if (l.hints.size() <= ordinal) {
      if (l.hints.capacity() < kHintsPerLevel) {
        try {
          l.hints.reserve(kHintsPerLevel);
        } catch (const std::bad_alloc&) {
          return;
        }
      }
      l.hints.resize(ordinal + 1);  // within the capacity: no allocation
    }
    ShapeHints& hs = l.hints[ordinal];
    ShapeHint& h = hs.ways[hs.next];
    hs.next = static_cast<uint8_t>((hs.next + 1) % kHintWays);
    h.keys.clear();
    if (where.serial == 0 || l.keys.empty()) return;
    for (PyObject* k : l.keys) {
      if (!PyUnicode_CheckExact(k)) return;
    }
    try {
      h.keys.reserve(l.keys.size());
    } catch (const std::bad_alloc&) {
      return;
    }
    for (PyObject* k : l.keys) h.keys.emplace_back((Py_INCREF(k), k));
    h.shape = where;
  }
  static void release_keys(Level& l) {
    for (PyObject* k : l.keys) Py_DECREF(k);
    l.keys.clear();
  }
  bool write_dict(PyObject* dict, int depth, std::vector<MemberSpan>* spans);
  bool write_sequence(PyObject* obj, int depth);
  bool write_scalar(PyObject* obj);
  // Appends `s` as a JSON string, escaped as write_json_string() does.  A
  // long text is appended as it is checked, never asking for room for its
  // every byte escaped.
  void put_string(std::string_view s) {
    std::string& o = out();
    if (needs_no_escape(s)) {
      // Nothing to escape (the usual case): the text between quotes, in
      // room of exactly its size rather than of its every byte escaped.
      const size_t size = o.size();
      o.resize(size + s.size() + 2);
      char* const w = o.data() + size;
      *w = '"';
      put_bytes(w + 1, s.data(), s.size())[0] = '"';
      return;
    }
    constexpr size_t kLongText = 1024;
    if (s.size() > kLongText) {
      write_json_string(s, o);
      return;
    }
    const size_t size = o.size();
    o.resize(size + json_string_bound(s.size()));
    char* const end = put_json_string(o.data() + size, s);
    o.resize(static_cast<size_t>(end - o.data()));
  }
  // Where values are written now: the buffer of the innermost dict being
  // written, or the output.  Found through the level's number, as a
  // recursive call may move the levels.
  std::string& out() { return target_ == 0 ? out_ : levels_[target_ - 1].written; }

  // What the value being written is to the flattening: nothing; a named
  // top-level member (its text is kept when it is a string); the value of
  // a group member (its members are flattened when it is an object); a
  // value flattened under field_.
  enum class Collect : uint8_t { kOff, kNamed, kGroup, kValues };
  void collect_string(std::string_view s) {
    if (mode_ == Collect::kValues) {
      collect_->add(field_, trim_white_space(s));
    } else if (mode_ == Collect::kNamed) {
      named_is_string_ = true;
      named_text_ = collect_->keep(s);
    }
  }
  // The text just written from `from` on, as a flattened value.
  void collect_written(size_t from) {
    if (mode_ == Collect::kValues) collect_->add(field_, std::string_view(out()).substr(from));
  }

  std::string& out_;
  size_t target_ = 0;  // level whose buffer out() is; 0 for the output
  DictShapeCache* shapes_;  // may be null
  std::vector<Level>& levels_;
  int max_depth_ = 0;
  FlattenCollector* collect_;  // may be null: no flattening
  Collect mode_ = Collect::kOff;
  FlattenCollector::Span field_;
  bool named_is_string_ = false;
  FlattenCollector::Span named_text_;
};

bool JsonTextWriter::write_dict(PyObject* dict, int depth, std::vector<MemberSpan>* spans) {
  if (levels_.size() < static_cast<size_t>(depth)) levels_.resize(depth);
  // References into levels_ are re-taken after every recursive call, which
  // may grow the vector.
  const size_t at = static_cast<size_t>(depth) - 1;
  levels_[at].key_texts.clear();
  levels_[at].values.clear();
  levels_[at].written.clear();
  const size_t ordinal = shapes_ != nullptr ? levels_[at].dicts++ : kHintsPerLevel;
  // While the keys are a hint's own objects, their texts are neither read
  // nor compared; at the first key that no hint has there the texts of
  // those before it are read after all.  `live` marks the hints whose keys
  // the dict's have been so far; their shapes are held in `hinted`.
  const DictShape* hinted[kHintWays];
  uint32_t live = 0;
  if (ordinal < levels_[at].hints.size()) {
    const ShapeHints& hs = levels_[at].hints[ordinal];
    for (size_t w = 0; w < kHintWays; ++w) {
      if (hs.ways[w].keys.empty()) continue;
      hinted[w] = shapes_->at(hs.ways[w].shape);
      if (hinted[w] != nullptr) live |= uint32_t{1} << w;
    }
  }
  size_t same = 0;  // keys so far that are the live hints'
  // Only the lead way is followed key by key; `live` keeps the ways that
  // may still be met.  Another takes the lead only when its first `same`
  // keys are the lead's and it goes on with `next` (or, for null, ends
  // there): the dict's keys so far are then its own.
  size_t lead = 0;
  if (live != 0) {
    const size_t last = levels_[at].hints[ordinal].last;
    lead = (live >> last & 1) != 0 ? last : static_cast<size_t>(std::countr_zero(live));
  }
  auto switch_lead = [&](const ShapeHints& hs, PyObject* next) {
    const std::vector<Ref>& lead_keys = hs.ways[lead].keys;
    for (uint32_t m = live & ~(uint32_t{1} << lead); m != 0; m &= m - 1) {
      const size_t w = static_cast<size_t>(std::countr_zero(m));
      const std::vector<Ref>& keys = hs.ways[w].keys;
      if (next != nullptr ? !(same < keys.size() && keys[same].get() == next) : keys.size() != same) continue;
      if (keys.size() < same || lead_keys.size() < same) continue;
      bool alike = true;
      for (size_t i = 0; alike && i < same; ++i) alike = keys[i].get() == lead_keys[i].get();
      if (!alike) continue;
      lead = w;
      return true;
    }
    return false;
  };
  uint64_t signature = DictShapeCache::kSeed;
  auto read_key = [&](PyObject* key) {
    Py_ssize_t n = 0;
    const char* k = str_key_utf8(key, &n);
    if (k == nullptr) return false;
    const std::string_view key_text(k, static_cast<size_t>(n));
    signature = DictShapeCache::fold(signature, key_text);
    levels_[at].key_texts.push_back(key_text);
    return true;
  };
  auto stop_hints = [&] {
    live = 0;
    for (size_t i = 0; i < same; ++i) {
      if (!read_key(levels_[at].keys[i])) return false;
    }
    return true;
  };
  // The flattening: the record's own members by their roles, an object
  // under a group or a flattened field member by member; nothing else.
  const Collect outer_mode = mode_;
  const FlattenCollector::Span outer_field = field_;
  const bool top = collect_ != nullptr && depth == 1;
  const bool members_flattened = outer_mode == Collect::kValues || outer_mode == Collect::kGroup;
  const FlattenCollector::Span parent_field = outer_mode == Collect::kValues ? outer_field : FlattenCollector::Span{};
  const size_t pieces_from = collect_ != nullptr ? collect_->pieces() : 0;
  if (members_flattened) levels_[at].piece_ends.clear();
  if (top) levels_[at].top.clear();
  // The text of the key just met: the lead hint's, or as read.
  auto key_text = [&]() -> std::string_view {
    if (live != 0) return hinted[lead]->key(same - 1);
    return levels_[at].key_texts.back();
  };
  const size_t outer = target_;
  target_ = static_cast<size_t>(depth);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    Py_INCREF(key);
    levels_[at].keys.push_back(key);
    if (live != 0) {
      const ShapeHints& hs = levels_[at].hints[ordinal];
      const std::vector<Ref>& lead_keys = hs.ways[lead].keys;
      if (same < lead_keys.size() && lead_keys[same].get() == key) {
        ++same;
      } else if (switch_lead(hs, key)) {
        ++same;
      } else if (!stop_hints() || !read_key(key)) {
        return false;
      }
    } else if (!read_key(key)) {
      return false;
    }
    FlattenRole role = FlattenRole::kOther;
    size_t member_pieces = 0;
    if (top) {
      named_is_string_ = false;
      role = live != 0 ? hinted[lead]->role(same - 1) : flatten_role(key_text());
      switch (role) {
        case FlattenRole::kOther:
          mode_ = Collect::kOff;
          break;
        case FlattenRole::kCategories:
        case FlattenRole::kAttributes:
          mode_ = Collect::kGroup;
          break;
        default:
          mode_ = Collect::kNamed;
          break;
      }
      member_pieces = collect_->pieces();
    } else if (members_flattened) {
      mode_ = Collect::kValues;
      // A hint's key texts are those of a shape held for the whole pass.
      field_ = collect_->child_field(parent_field, key_text(), live != 0);
    } else {
      mode_ = Collect::kOff;
    }
    Py_INCREF(value);
    Ref hold_value(value);
    const size_t begin = levels_[at].written.size();
    if (!write(value, depth, nullptr)) return false;
    Level& level = levels_[at];
    level.values.emplace_back(begin, level.written.size());
    if (top) {
      level.top.push_back(
          FlattenCollector::TopMember{role, named_is_string_, named_text_, member_pieces, collect_->pieces()});
    } else if (members_flattened) {
      level.piece_ends.push_back(collect_->pieces());
    }
  }
  mode_ = outer_mode;
  field_ = outer_field;
  target_ = outer;
  const DictShape* shape = nullptr;
  if (live != 0) {
    ShapeHints& hs = levels_[at].hints[ordinal];
    if (hs.ways[lead].keys.size() == same || switch_lead(hs, nullptr)) {
      shape = hinted[lead];
      hs.last = static_cast<uint8_t>(lead);
    }
    if (shape == nullptr && !stop_hints()) return false;
  }
  Level& level = levels_[at];
  if (shape == nullptr) {
    const std::string_view* keys = level.key_texts.data();
    const size_t n = level.key_texts.size();
    DictShapeCache::Handle where;
    if (shapes_ != nullptr) {
      shape = shapes_->find(signature, keys, n, &where);
      if (shape == nullptr) shape = shapes_->keep(signature, keys, n, &where);
    }
    if (shape == nullptr) {
      level.shape.build(keys, n);
      shape = &level.shape;
    }
    if (ordinal < kHintsPerLevel) remember_hint(level, ordinal, where);
  }
  if (members_flattened) {
    collect_->reorder(pieces_from, level.piece_ends, shape->members(), [&](size_t j) { return shape->source(j); });
  } else if (top) {
    for (size_t j = 0; j < shape->members(); ++j) {
      const FlattenCollector::TopMember& m = level.top[shape->source(j)];
      if (m.role != FlattenRole::kOther) collect_->top_member(m);
    }
  }
  std::string& dst = out();
  const std::string& written = level.written;
  const size_t start = dst.size();
  if (spans) spans->reserve(spans->size() + shape->members());
  // Room for every member (members a later key repeats are left out), then
  // the pieces put in place.
  dst.resize(start + written.size() + shape->prefix_bytes() + 2);
  char* const base = dst.data();
  char* w = base + start;
  *w++ = '{';
  for (size_t j = 0; j < shape->members(); ++j) {
    const std::string_view prefix = shape->prefix(j);
    w = put_bytes(w, prefix.data(), prefix.size());
    const auto [begin, end] = level.values[shape->source(j)];
    const size_t at_value = static_cast<size_t>(w - base);
    if (spans) spans->push_back(MemberSpan{shape->member_key(j), at_value, at_value + (end - begin)});
    w = put_bytes(w, written.data() + begin, end - begin);
  }
  *w++ = '}';
  dst.resize(static_cast<size_t>(w - base));
  release_keys(level);
  return true;
}

bool JsonTextWriter::write_sequence(PyObject* obj, int depth) {
  // Elements are flattened under the array's own field, and only there.
  const Collect outer_mode = mode_;
  if (mode_ != Collect::kValues) mode_ = Collect::kOff;
  out() += '[';
  bool first = true;
  auto item_out = [&](PyObject* item) {
    if (!first) out() += ',';
    first = false;
    return write(item, depth, nullptr);
  };
  if (PyList_Check(obj)) {
    // A callback may change the list while it is walked: re-read the size.
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      PyObject* item = PyList_GetItem(obj, i);
      if (item == nullptr) return false;
      Py_INCREF(item);
      Ref hold(item);
      if (!item_out(item)) return false;
    }
  } else if (PyTuple_Check(obj)) {
    const Py_ssize_t n = PyTuple_Size(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!item_out(PyTuple_GetItem(obj, i))) return false;
    }
  } else {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      if (!item_out(raw)) return false;
    }
    if (PyErr_Occurred()) return false;
  }
  out() += ']';
  mode_ = outer_mode;
  return true;
}

bool JsonTextWriter::write_scalar(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
      const std::string_view text(s, static_cast<size_t>(n));
      if (collect_) collect_string(text);
      put_string(text);
      return true;
    }
    if (!clear_probe_error()) return false;
  } else {
    Scalar sc;
    switch (probe_scalar(obj, sc)) {
      case Probe::kError:
        return false;
      case Probe::kYes: {
        const size_t from = out().size();
        if (sc.kind == Scalar::kBool) {
          out() += sc.b ? "true" : "false";
          if (collect_ && mode_ == Collect::kValues) collect_->add(field_, sc.b ? "True" : "False");
          return true;
        }
        if (sc.kind == Scalar::kInt) {
          append_json_integer(static_cast<int64_t>(sc.i), out());
        } else if (std::isfinite(sc.d)) {
          append_json_number_text(sc.d, out());
        } else {
          out() += "null";
          return true;
        }
        if (collect_) collect_written(from);
        return true;
      }
      case Probe::kNo:
        break;
    }
  }
  std::string text;
  if (!str_of(obj, text)) return false;
  if (collect_) collect_string(text);
  put_string(text);
  return true;
}

bool JsonTextWriter::write(PyObject* obj, int depth, std::vector<MemberSpan>* spans) {
  if (obj == Py_None) {
    out() += "null";
    return true;
  }
  // Exact built-in scalars skip the container tests, which the limited API
  // makes calls (a subclass walk for sets).
  PyTypeObject* const type = Py_TYPE(obj);
  if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) {
    return write_scalar(obj);
  }
  const bool is_dict = type == &PyDict_Type || PyDict_Check(obj);
  if (is_dict || PyList_Check(obj) || PyTuple_Check(obj) || PySet_Check(obj)) {
    RecursionGuard guard;
    if (!guard.enter(depth + 1)) return false;
    if (depth + 1 > max_depth_) max_depth_ = depth + 1;
    return is_dict ? write_dict(obj, depth + 1, spans) : write_sequence(obj, depth + 1);
  }
  return write_scalar(obj);
}

}  // namespace

bool value_to_text(PyObject* obj, std::string& out) {
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
      out.append(trim_white_space(std::string_view(s, static_cast<size_t>(n))));
      return true;
    }
    if (!clear_probe_error()) return false;
  } else {
    Scalar sc;
    switch (probe_scalar(obj, sc)) {
      case Probe::kError:
        return false;
      case Probe::kYes:
        if (sc.kind == Scalar::kBool) {
          out += sc.b ? "True" : "False";
        } else if (sc.kind == Scalar::kInt) {
          append_json_integer(static_cast<int64_t>(sc.i), out);
        } else {
          append_positional_double(sc.d, out);
        }
        return true;
      case Probe::kNo:
        break;
    }
  }
  std::string text;
  if (!str_of(obj, text)) return false;
  out.append(trim_white_space(text));
  return true;
}

JsonConversionMemory::JsonConversionMemory() = default;
JsonConversionMemory::~JsonConversionMemory() = default;

void JsonConversionMemory::trim() {
  // A record far larger than the rest leaves no lasting cost behind.
  constexpr size_t kKeptLevels = 16, kKeptEntries = 1024, kKeptBytes = size_t{64} << 10;
  if (levels_.size() > kKeptLevels) levels_.resize(kKeptLevels);
  for (Level& l : levels_) {
    if (l.key_texts.capacity() > kKeptEntries) l = Level();
    if (l.written.capacity() > kKeptBytes) std::string().swap(l.written);
  }
}

bool python_to_json_text(PyObject* obj, std::string& out, int* depth_out, std::vector<MemberSpan>* top_members,
                         JsonConversionMemory* memory, FlattenCollector* flatten) {
  JsonConversionMemory one_call;
  JsonConversionMemory& m = memory != nullptr ? *memory : one_call;
  // Trimmed before, not after, a conversion: the member keys it hands out
  // are views into the shapes it keeps.
  m.trim();
  if (memory != nullptr) {
    m.shapes_.begin_pass();
    for (Level& l : m.levels_) l.dicts = 0;
  }
  // The guess is capped: after an unusually large record it must not make
  // the next, ordinary one ask for that much memory.
  constexpr size_t kGuessCap = size_t{64} << 10;
  out.reserve(out.size() + std::min(m.last_size_ + m.last_size_ / 4 + 64, kGuessCap));
  const size_t start = out.size();
  if (flatten != nullptr) {
    flatten->trim();
    flatten->begin();
  }
  bool ok;
  int depth;
  {
    JsonTextWriter writer(out, m.levels_, memory != nullptr ? &m.shapes_ : nullptr, flatten);
    ok = writer.write(obj, 0, top_members);
    depth = writer.max_depth();
  }
  if (depth_out) *depth_out = depth;
  m.last_size_ = out.size() - start;
  return ok;
}

}  // namespace vedra::py
