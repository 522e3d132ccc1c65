// JsonValue: the engine's in-memory JSON value.
//
// A value is null, a boolean, a number held as exactly one of an unsigned
// 64-bit integer (non-negative integers), a signed 64-bit integer (negative
// integers) or a finite double, a UTF-8 string, an array, or an object.
// Object members are kept in ascending byte order of their keys (a key that is
// a prefix of another sorts first), each key at most once; every producer of
// objects (the Python conversion, the JSON reader) keeps that invariant.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vedra {

struct JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<JsonMember>;  // sorted by key bytes, unique keys

struct JsonValue {
  enum class Kind : uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };
  using Storage =
      std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, JsonArray, JsonObject>;

  Storage v;

  JsonValue() = default;
  // Defined after JsonMember: constructing a value needs the complete type.
  static JsonValue null();
  static JsonValue boolean(bool b);
  static JsonValue uint(uint64_t u);
  static JsonValue sint(int64_t i);      // REQUIRES: i < 0 for canonical form
  static JsonValue dbl(double d);        // REQUIRES: d is finite
  static JsonValue string(std::string s);
  static JsonValue array(JsonArray a);
  static JsonValue object(JsonObject o);  // REQUIRES: sorted, unique

  Kind kind() const { return static_cast<Kind>(v.index()); }
  bool is_object() const { return kind() == Kind::Object; }
  bool is_string() const { return kind() == Kind::String; }

  const std::string& as_string() const { return std::get<std::string>(v); }
  const JsonArray& as_array() const { return std::get<JsonArray>(v); }
  const JsonObject& as_object() const { return std::get<JsonObject>(v); }
  JsonArray& as_array() { return std::get<JsonArray>(v); }
  JsonObject& as_object() { return std::get<JsonObject>(v); }

  // Member lookup by exact key bytes (binary search); nullptr when absent.
  // REQUIRES: is_object().
  const JsonValue* find(std::string_view key) const;

  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  template <typename T>
  static JsonValue make(T&& t);
};

struct JsonMember {
  std::string key;
  JsonValue value;
  friend bool operator==(const JsonMember& a, const JsonMember& b) {
    return a.key == b.key && a.value == b.value;
  }
};

inline bool operator==(const JsonValue& a, const JsonValue& b) { return a.v == b.v; }

template <typename T>
JsonValue JsonValue::make(T&& t) {
  JsonValue j;
  j.v = std::forward<T>(t);
  return j;
}
inline JsonValue JsonValue::null() { return JsonValue(); }
inline JsonValue JsonValue::boolean(bool b) { return make(b); }
inline JsonValue JsonValue::uint(uint64_t u) { return make(u); }
inline JsonValue JsonValue::sint(int64_t i) { return make(i); }
inline JsonValue JsonValue::dbl(double d) { return make(d); }
inline JsonValue JsonValue::string(std::string s) { return make(std::move(s)); }
inline JsonValue JsonValue::array(JsonArray a) { return make(std::move(a)); }
inline JsonValue JsonValue::object(JsonObject o) { return make(std::move(o)); }

// Sorts members by key bytes and keeps the last occurrence of a repeated key
// (stable), establishing the object invariant.
void normalize_object(JsonObject& members);

}  // namespace vedra
