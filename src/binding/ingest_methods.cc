// add_record, add_record_payload and build: the methods that take the
// exclusive borrow to change the store.
//
// Every argument and value is converted before the engine is touched, and the
// engine takes the record all or nothing, so a failed call leaves the store
// exactly as it was.
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "binding/methods.h"
#include "index/index_build.h"
#include "store/flatten.h"
#include "store/py_convert.h"
#include "store/record_add.h"

namespace vedra::py {
namespace {

const char* const kAddRecordParams[] = {"code", "name", "pinyin", "fields", "payload"};
const MethodSignature kAddRecordSig = {"MetadataCore.add_record()", kAddRecordParams, 5, 4};
const char* const kRecordParams[] = {"record"};
const MethodSignature kAddRecordPayloadSig = {"MetadataCore.add_record_payload()", kRecordParams, 1, 1};

// Converts a payload dict to compact JSON text; remembers whether it nests
// too deeply for a snapshot.  `flatten`, when given, gathers the record's
// flattening on the way.
bool convert_payload(CoreObject& core, PyObject* dict, std::string& text, bool* deep,
                     FlattenCollector* flatten = nullptr) {
  int depth = 0;
  if (!python_to_json_text(dict, text, &depth, nullptr, &core.conversion, flatten)) return false;
  *deep = depth >= kUnloadablePayloadDepth;
  return true;
}

// Every entry of `fields`, in order: for each, its field name with each of its
// item texts (a list gives one post per item), as views.  A name or a str
// item is viewed where its str object holds its UTF-8, and the object is
// held until the call ends, whatever the conversions of later items do to
// the dict; the texts of other items are made in one buffer, viewed once
// all are made.
class FieldPosts {
 public:
  // Fills `room`'s lists, which must hold no references (as between calls).
  explicit FieldPosts(FieldPostsRoom& room)
      : held_(room.held), pieces_(room.pieces), made_(room.made), posts_(room.posts) {
    pieces_.clear();
    made_.clear();
    posts_.clear();
  }
  FieldPosts(const FieldPosts&) = delete;
  FieldPosts& operator=(const FieldPosts&) = delete;
  ~FieldPosts() {
    for (PyObject* o : held_) Py_DECREF(o);
    held_.clear();
  }

  bool convert(PyObject* fields) {
    const size_t entries = static_cast<size_t>(PyDict_Size(fields));
    pieces_.reserve(entries + 8);
    held_.reserve(2 * entries + 8);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields, &pos, &key, &value)) {
      hold(key);
      Ref hold_value((Py_INCREF(value), value));
      Py_ssize_t n = 0;
      const char* k = str_key_utf8(key, &n);
      if (k == nullptr) return false;
      const std::string_view field(k, static_cast<size_t>(n));
      if (PyList_Check(value)) {
        for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
          PyObject* item = PyList_GetItem(value, i);
          if (item == nullptr) return false;
          Ref hold_item((Py_INCREF(item), item));
          if (!convert_item(field, item)) return false;
        }
      } else if (!convert_item(field, value)) {
        return false;
      }
    }
    posts_.reserve(pieces_.size());
    for (const FieldPiece& p : pieces_) {
      posts_.emplace_back(p.field, p.made ? std::string_view(made_).substr(p.begin, p.size) : p.text);
    }
    return true;
  }

  const CollectedViews& posts() const { return posts_; }

 private:
  void hold(PyObject* o) {
    held_.push_back(o);  // a throw here has taken no reference
    Py_INCREF(o);
  }

  bool convert_item(std::string_view field, PyObject* item) {
    if (PyUnicode_Check(item)) {
      Py_ssize_t n = 0;
      if (const char* s = PyUnicode_AsUTF8AndSize(item, &n)) {
        hold(item);
        pieces_.push_back(FieldPiece{field, trim_white_space(std::string_view(s, static_cast<size_t>(n))), 0, 0, false});
        return true;
      }
      // Lone surrogates: the general conversion replaces them.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();
    }
    const size_t begin = made_.size();
    if (!value_to_text(item, made_)) return false;
    pieces_.push_back(FieldPiece{field, std::string_view(), begin, made_.size() - begin, true});
    return true;
  }

  std::vector<PyObject*>& held_;  // owned references
  std::vector<FieldPiece>& pieces_;
  std::string& made_;
  CollectedViews& posts_;
};

}  // namespace

PyObject* method_add_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kAddRecordSig, args, nargs, kwnames, Borrow::kExclusive,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    const char* text[3];
    Py_ssize_t size[3];
    for (int i = 0; i < 3; ++i) {
      if (!extract_str(a[i], kAddRecordParams[i], &text[i], &size[i])) return nullptr;
    }
    if (!PyDict_Check(a[3])) return raise_argument_type_error(a[3], "fields", "dict");
    RecordBuffers& b = core.record_buffers;
    b.trim();
    std::string& payload = b.payload;
    payload.clear();
    bool deep = false;
    if (a[4] == Py_None) {
      payload = default_payload(std::string_view(text[0], size[0]), std::string_view(text[1], size[1]),
                                std::string_view(text[2], size[2]));
    } else if (!PyDict_Check(a[4])) {
      return raise_argument_type_error(a[4], "payload", "dict");
    } else if (!convert_payload(core, a[4], payload, &deep)) {
      return nullptr;
    }
    FieldPosts converted(b.field_posts);
    if (!converted.convert(a[3])) return nullptr;
    const CollectedViews& posts = converted.posts();

    EngineState& s = core.state;
    FlattenedRecord& texts = b.flat;
    texts.code.assign(text[0], size[0]);
    texts.name.assign(text[1], size[1]);
    texts.pinyin.assign(text[2], size[2]);
    // The item texts are the collected values: empty ones are skipped by the
    // join, as by posting.
    RecordInput in{std::move(texts.code), std::move(texts.name), std::move(texts.pinyin), std::move(payload),
                   FieldMap(), &posts, deep};
    Status st = join_field_values(posts, in.fields);
    if (st.ok()) st = add_record(s, in);
    // The engine copied the texts it keeps: their buffers serve the next record.
    texts.code = std::move(in.code);
    texts.name = std::move(in.name);
    texts.pinyin = std::move(in.pinyin);
    payload = std::move(in.payload);
    if (!st.ok()) return raise_status(st);
    Py_RETURN_NONE;
  });
}

PyObject* method_add_record_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kAddRecordPayloadSig, args, nargs, kwnames, Borrow::kExclusive,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    if (!PyDict_Check(a[0])) return raise_argument_type_error(a[0], "record", "dict");

    RecordBuffers& b = core.record_buffers;
    b.trim();
    b.payload.clear();
    bool deep = false;
    if (!convert_payload(core, a[0], b.payload, &deep, &core.flattening)) return nullptr;
    FlattenedRecord& flat = b.flat;
    if (Status st = core.flattening.finish(flat); !st.ok()) return raise_status(st);

    EngineState& s = core.state;
    RecordInput in{std::move(flat.code), std::move(flat.name), std::move(flat.pinyin), std::move(b.payload),
                   std::move(flat.fields), nullptr, deep};
    const Status st = add_record(s, in);
    // The engine copied the texts it keeps: their buffers serve the next record.
    flat.code = std::move(in.code);
    flat.name = std::move(in.name);
    flat.pinyin = std::move(in.pinyin);
    b.payload = std::move(in.payload);
    if (!st.ok()) return raise_status(st);
    Py_RETURN_NONE;
  });
}

PyObject* method_build(PyObject* self, PyObject*) {
  return run_method(self, Borrow::kExclusive, [&](CoreObject& core) -> PyObject* {
    if (Status st = build_matcher(core.state.pattern_texts, core.state.matcher); !st.ok()) return raise_status(st);
    Py_RETURN_NONE;
  });
}

}  // namespace vedra::py
