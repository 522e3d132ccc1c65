// The MetadataCore instance layout.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/code_cache.h"
#include "binding/key_cache.h"
#include "binding/py.h"
#include "store/py_convert.h"
#include "store/engine_state.h"

namespace vedra::py {

// One field entry's item as add_record's field conversion keeps it: a view
// of a str object's UTF-8, or a place in the buffer of made texts.
struct FieldPiece {
  std::string_view field;
  std::string_view text;  // when not made
  size_t begin, size;     // in the made texts, when made
  bool made;
};

// The lists add_record's field conversion fills, kept from call to call so
// that a record's conversion allocates nothing once the lists have grown.
// `held` is empty between calls: its references are released when each
// conversion ends.
struct FieldPostsRoom {
  std::vector<PyObject*> held;
  std::vector<FieldPiece> pieces;
  std::string made;
  CollectedViews posts;
};

// The texts an add builds for one record, kept from call to call
// so that their buffers are not made again for every record: the engine
// copies what it keeps.  A record far larger than the rest leaves no lasting
// cost (trim()).
struct RecordBuffers {
  std::string payload;
  FlattenedRecord flat;
  FieldPostsRoom field_posts;

  void trim() {
    constexpr size_t kKeptBytes = size_t{64} << 10;
    if (payload.capacity() > kKeptBytes) std::string().swap(payload);
    for (std::string* t : {&flat.code, &flat.name, &flat.pinyin}) {
      if (t->capacity() > kKeptBytes) std::string().swap(*t);
    }
    constexpr size_t kKeptItems = 4096;
    FieldPostsRoom& f = field_posts;
    if (f.made.capacity() > kKeptBytes) std::string().swap(f.made);
    if (f.held.capacity() > kKeptItems) std::vector<PyObject*>().swap(f.held);
    if (f.pieces.capacity() > kKeptItems) std::vector<FieldPiece>().swap(f.pieces);
    if (f.posts.capacity() > kKeptItems) CollectedViews().swap(f.posts);
  }
};

struct CoreObject {
  PyObject_HEAD
  EngineState state;                     // owned; built by tp_new, destroyed by tp_dealloc
  std::atomic<intptr_t> borrow_flag;     // the object's Borrow flag (binding/borrow.h)
  CodeStrCache code_strs;                // owned; strs of codes handed out by filter/find
  KeyStrCache key_strs;                  // owned; strs of payload keys handed out by get/get_many
  KeyStrCache value_strs;                // owned; short payload string values handed out by get/get_many
  JsonConversionMemory conversion;       // owned; what payload conversions carry from one record to the next
  FlattenCollector flattening;           // owned; the payload flattening gathered while converting
  RecordBuffers record_buffers;          // owned; the adds' reused texts
};

// The instance behind `self`.  REQUIRES: self is a MetadataCore (the class
// cannot be subclassed, so every method's self is one).
inline CoreObject& as_core(PyObject* self) { return *reinterpret_cast<CoreObject*>(self); }

// The class object, created once per process; borrowed, or nullptr with an
// exception set.
PyObject* core_type();

}  // namespace vedra::py
