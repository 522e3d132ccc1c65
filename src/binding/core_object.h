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

// The texts an add builds for one record, kept from call to call
// so that their buffers are not made again for every record: the engine
// copies what it keeps.  A record far larger than the rest leaves no lasting
// cost (trim()).
struct RecordBuffers {
  std::string payload;
  FlattenedRecord flat;

  void trim() {
    constexpr size_t kKeptBytes = size_t{64} << 10;
    if (payload.capacity() > kKeptBytes) std::string().swap(payload);
    for (std::string* t : {&flat.code, &flat.name, &flat.pinyin}) {
      if (t->capacity() > kKeptBytes) std::string().swap(*t);
    }
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
