#include "binding/payload_builder.h"

#include <bit>
#include <charconv>
#include <cwchar>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "store/json/byte_scan.h"
#include "store/json/json_unescape.h"

namespace vedra::py {
namespace {

// Recursion levels entered before the first container: json.loads runs
// three Python frames and one C call above its scanner, and each counts
// against the same limit on the interpreters that count frames.
constexpr int kRecursionMargin = 8;

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Decodes the UTF-8 text [p, p + n) into code points at out (room for n).
// Returns the number written, or -1 when the text is not well-formed UTF-8
// (overlong forms, encoded surrogates and values above U+10FFFF included).
Py_ssize_t utf8_to_ucs4(const unsigned char* p, size_t n, wchar_t* out) {
  Py_ssize_t k = 0;
  size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    if (c < 0x80) {
      out[k++] = static_cast<wchar_t>(c);
      ++i;
      continue;
    }
    const size_t left = n - i;
    unsigned cp;
    if (c >= 0xC2 && c < 0xE0) {
      if (left < 2 || (p[i + 1] & 0xC0) != 0x80) return -1;
      cp = (c & 0x1F) << 6 | (p[i + 1] & 0x3F);
      i += 2;
    } else if (c >= 0xE0 && c < 0xF0) {
      if (left < 3 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80) return -1;
      cp = (c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
      i += 3;
    } else if (c >= 0xF0 && c < 0xF5) {
      if (left < 4 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80 || (p[i + 3] & 0xC0) != 0x80) return -1;
      cp = (c & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
      if (cp < 0x10000 || cp > 0x10FFFF) return -1;
      i += 4;
    } else {
      return -1;
    }
    out[k++] = static_cast<wchar_t>(cp);
  }
  return k;
}

// Every method returns a new reference, or nullptr when the text is
// declined (an exception may then be set; build() clears it).
class Builder {
 public:
  Builder(std::string_view text, KeyStrCache& keys, KeyStrCache& values)
      : p_(text.data()), end_(text.data() + text.size()), keys_(keys), values_(values) {}

  PyObject* build() {
    int entered = 0;
    PyObject* result = nullptr;
    for (; entered < kRecursionMargin; ++entered) {
      if (Py_EnterRecursiveCall(" while decoding a JSON payload")) break;
    }
    if (entered == kRecursionMargin) {
      result = value(0);
      if (result != nullptr && p_ != end_) {
        Py_DECREF(result);
        result = nullptr;
      }
    }
    while (entered-- > 0) Py_LeaveRecursiveCall();
    if (result == nullptr && PyErr_Occurred()) PyErr_Clear();
    return result;
  }

 private:
  PyObject* value(int depth) {
    if (p_ == end_) return nullptr;
    switch (*p_) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"':
        return string(false);
      case 't':
        return literal("true", 4, Py_True);
      case 'f':
        return literal("false", 5, Py_False);
      case 'n':
        return literal("null", 4, Py_None);
      default:
        return number();
    }
  }

  PyObject* literal(const char* word, size_t n, PyObject* object) {
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return nullptr;
    p_ += n;
    Py_INCREF(object);
    return object;
  }

  // Enters one recursion level for a container opened at `depth`.
  bool enter(int depth, const char* where) {
    if (depth >= kMaxBuildDepth) return false;
    return Py_EnterRecursiveCall(where) == 0;
  }

  PyObject* object(int depth) {
    if (!enter(depth, " while decoding a JSON object from a unicode string")) return nullptr;
    PyObject* dict = object_members(depth);
    Py_LeaveRecursiveCall();
    return dict;
  }

  PyObject* object_members(int depth) {
    ++p_;  // '{'
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return dict;
    }
    for (;;) {
      if (p_ == end_ || *p_ != '"') break;
      PyObject* key = string(true);
      if (key == nullptr) break;
      if (p_ == end_ || *p_ != ':') {
        Py_DECREF(key);
        break;
      }
      ++p_;
      PyObject* item = value(depth + 1);
      if (item == nullptr) {
        Py_DECREF(key);
        break;
      }
      const int failed = PyDict_SetItem(dict, key, item);
      Py_DECREF(key);
      Py_DECREF(item);
      if (failed) break;
      if (p_ == end_) break;
      const char c = *p_++;
      if (c == '}') return dict;
      if (c != ',') break;
    }
    Py_DECREF(dict);
    return nullptr;
  }

  PyObject* array(int depth) {
    if (!enter(depth, " while decoding a JSON array from a unicode string")) return nullptr;
    PyObject* list = array_elements(depth);
    Py_LeaveRecursiveCall();
    return list;
  }

  // Elements gather on the shared stack (nested arrays push above them) and
  // move into a list of exactly their number.
  PyObject* array_elements(int depth) {
    ++p_;  // '['
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return PyList_New(0);
    }
    const size_t base = stack_.size();
    bool ok = false;
    for (;;) {
      PyObject* item = value(depth + 1);
      if (item == nullptr) break;
      stack_.push_back(item);
      if (p_ == end_) break;
      const char c = *p_++;
      if (c == ']') {
        ok = true;
        break;
      }
      if (c != ',') break;
    }
    PyObject* list = ok ? PyList_New(static_cast<Py_ssize_t>(stack_.size() - base)) : nullptr;
    if (list != nullptr) {
      for (size_t i = base; i < stack_.size(); ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i - base), stack_[i]);
    } else {
      for (size_t i = base; i < stack_.size(); ++i) Py_DECREF(stack_[i]);
    }
    stack_.resize(base);
    return list;
  }

  // A string at the cursor (REQUIRES: *p_ == '"').  Strings without an
  // escape come from the key or value cache when short enough.
  PyObject* string(bool is_key) {
    const char* const start = ++p_;
    uint64_t high = 0;  // the high bits of every byte read: 0 for ASCII
    for (;;) {
      // Eight bytes at a time while they are there; the first stop byte is
      // found from the word itself (byte order: the lowest address is the
      // lowest byte).
      while (end_ - p_ >= 8) {
        const uint64_t w = load8(p_);
        const uint64_t stop = string_stop_bytes(w);
        if (stop == 0) {
          high |= w;
          p_ += 8;
          continue;
        }
        if (!kLittleEndian) break;
        const uint64_t first = stop & (0 - stop);
        high |= w & (first - 1);  // the bytes before the stop byte
        p_ += std::countr_zero(stop) >> 3;
        break;
      }
      while (p_ != end_ && static_cast<unsigned char>(*p_) >= 0x20 && *p_ != '"' && *p_ != '\\') {
        high |= static_cast<unsigned char>(*p_);
        ++p_;
      }
      if (p_ == end_) return nullptr;
      if (*p_ == '"') break;
      if (*p_ == '\\') return escaped_string(start);
      return nullptr;  // a raw control character: json.loads refuses it
    }
    const size_t n = static_cast<size_t>(p_ - start);
    ++p_;
    KeyStrCache& cache = is_key ? keys_ : values_;
    if ((high & kByteHighBits) == 0) {
      // ASCII: the Latin-1 decoder makes the same str with one scan and a
      // copy, fewer steps than the UTF-8 decoder's ASCII path.
      return cache.get(start, n, [](const char* q, size_t m) {
        return PyUnicode_DecodeLatin1(q, static_cast<Py_ssize_t>(m), nullptr);
      });
    }
    return cache.get(start, n, [this](const char* q, size_t m) { return non_ascii_str(q, m); });
  }

  // The str of the non-ASCII UTF-8 text [p, p + n).  Where wchar_t holds a
  // code point, the text is decoded here and the str made from the code
  // points: the interpreter's UTF-8 decoder would first guess a one-byte
  // str and widen it, a second pass and a reallocation for most non-Latin
  // text.  Ill-formed text goes to that decoder for its exception.
  PyObject* non_ascii_str(const char* p, size_t n) {
#if WCHAR_MAX > 0xFFFF
    if (n > wide_room_) {
      const size_t room = n < 256 ? 256 : n;
      wide_.reset(new (std::nothrow) wchar_t[room]);
      wide_room_ = wide_ ? room : 0;
    }
    if (wide_) {
      const Py_ssize_t k = utf8_to_ucs4(reinterpret_cast<const unsigned char*>(p), n, wide_.get());
      if (k >= 0) return PyUnicode_FromWideChar(wide_.get(), k);
    }
#endif
    return PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
  }

  // The rest of a string that holds an escape, from its first byte `start`;
  // the cursor is on the first backslash.  Escapes are decoded as the writer
  // writes them (store/json_unescape.h); any other form is declined.
  PyObject* escaped_string(const char* start) {
    scratch_.assign(start, static_cast<size_t>(p_ - start));
    const char* const after = unescape_written_string(p_, end_, scratch_);
    if (after == nullptr) return nullptr;
    p_ = after;
    return PyUnicode_DecodeUTF8(scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()), nullptr);
  }

  PyObject* number() {
    const char* const start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return nullptr;
    uint64_t magnitude = 0;
    bool fits = true;
    if (*p_ == '0') {
      ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
      for (; p_ != end_ && *p_ >= '0' && *p_ <= '9'; ++p_) {
        fits = fits && !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
               !__builtin_add_overflow(magnitude, static_cast<unsigned>(*p_ - '0'), &magnitude);
      }
    } else {
      return nullptr;
    }
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      integral = false;
      ++p_;
      if (!digits()) return nullptr;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return nullptr;
    }
    if (integral) {
      if (fits && !negative) return PyLong_FromUnsignedLongLong(magnitude);
      if (fits && magnitude <= (uint64_t{1} << 63)) {
        return PyLong_FromLongLong(static_cast<long long>(0 - magnitude));  // two's complement: INT64_MIN too
      }
      scratch_.assign(start, p_);  // beyond 64 bits: the interpreter's own conversion
      return PyLong_FromString(scratch_.c_str(), nullptr, 10);
    }
    double d = 0;
    const auto r = std::from_chars(start, p_, d);
    if (r.ec != std::errc() || r.ptr != p_) return nullptr;
    return PyFloat_FromDouble(d);
  }

  // One or more decimal digits.
  bool digits() {
    const char* const first = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != first;
  }

  const char* p_;
  const char* const end_;
  KeyStrCache& keys_;
  KeyStrCache& values_;
  std::vector<PyObject*> stack_;  // owned references of the arrays being read
  std::string scratch_;
  std::unique_ptr<wchar_t[]> wide_;  // code points of one string; wide_room_ of them
  size_t wide_room_ = 0;
};

}  // namespace

PyObject* build_payload_objects(std::string_view text, KeyStrCache& keys, KeyStrCache& values) {
  return Builder(text, keys, values).build();
}

}  // namespace vedra::py
