// The JSON value model and its compact writer; no JSON library is seen here.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmora {

class JsonValue;
using JsonArray = std::vector<JsonValue>;

// Members with unique keys, kept in ascending order of their bytes compared as unsigned values
// (a proper prefix first): the order in which they are written.
class JsonObject {
 public:
  using Member = std::pair<std::string, JsonValue>;

  JsonObject() = default;
  // Members in any order; of repeated keys the last one wins.
  explicit JsonObject(std::vector<Member> members);

  // Adds the member, or replaces the value of a key already present without moving it.
  void insert(std::string key, JsonValue value);
  // The value stored under exactly this key, or nullptr.
  const JsonValue* find(std::string_view key) const;

  std::size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  // Defined below, once JsonValue is complete: clang instantiates the comparison of the members
  // where it is declared.
  friend bool operator==(const JsonObject&, const JsonObject&);

 private:
  std::vector<Member> members_;
};

enum class JsonKind { Null, Bool, Number, String, Array, Object };

// Null, a boolean, a number (unsigned 64-bit, signed 64-bit for negatives, or double), UTF-8
// text, an array or an object. Owns everything in it.
class JsonValue {
 public:
  // Implicit on purpose, so that `object.insert("ok", true)` reads as the message it builds.
  JsonValue() = default;
  JsonValue(std::nullptr_t) {}                                // NOLINT(google-explicit-constructor)
  JsonValue(bool value) : value_(value) {}                    // NOLINT(google-explicit-constructor)
  JsonValue(double value) : value_(value) {}                  // NOLINT(google-explicit-constructor)
  JsonValue(std::string value) : value_(std::move(value)) {}  // NOLINT
  JsonValue(const char* value) : value_(std::string(value)) {}  // NOLINT
  JsonValue(JsonArray value) : value_(std::move(value)) {}      // NOLINT
  JsonValue(JsonObject value) : value_(std::move(value)) {}     // NOLINT
  // Negative integers are held signed, all others unsigned.
  template <std::integral T>
  requires(!std::same_as<T, bool>) JsonValue(T value) {  // NOLINT(google-explicit-constructor)
    if (value < 0) {
      value_ = static_cast<std::int64_t>(value);
    } else {
      value_ = static_cast<std::uint64_t>(value);
    }
  }

  JsonKind kind() const;
  bool is_null() const { return kind() == JsonKind::Null; }
  bool is_object() const { return kind() == JsonKind::Object; }

  // Each gives nullptr when the value is of another kind.
  const bool* as_bool() const { return std::get_if<bool>(&value_); }
  const std::uint64_t* as_u64() const { return std::get_if<std::uint64_t>(&value_); }
  const std::int64_t* as_i64() const { return std::get_if<std::int64_t>(&value_); }
  const double* as_double() const { return std::get_if<double>(&value_); }
  const std::string* as_string() const { return std::get_if<std::string>(&value_); }
  const JsonArray* as_array() const { return std::get_if<JsonArray>(&value_); }
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&value_); }

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
               JsonObject>
      value_;
};

// The member `key` of an object; nullptr when absent or when `value` is not an object.
const JsonValue* get_key(const JsonValue& value, std::string_view key);

// Compact JSON: no whitespace, members in key order, only what JSON requires escaped.
std::string serialize_compact(const JsonValue& value);

inline bool operator==(const JsonObject& a, const JsonObject& b) {
  return a.members_ == b.members_;
}

// Ordering and size queries need JsonValue complete.
inline std::size_t JsonObject::size() const {
  return members_.size();
}
inline bool JsonObject::empty() const {
  return members_.empty();
}
inline auto JsonObject::begin() const -> std::vector<Member>::const_iterator {
  return members_.begin();
}
inline auto JsonObject::end() const -> std::vector<Member>::const_iterator {
  return members_.end();
}

}  // namespace velmora
