#include "json/value.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>

namespace velmora {

// ---- Model ----

namespace {

bool key_less(const JsonObject::Member& member, std::string_view key) {
  return member.first < key;
}

}  // namespace

JsonObject::JsonObject(std::vector<Member> members) {
  std::ranges::stable_sort(members, {}, &Member::first);
  members_.reserve(members.size());
  for (auto& member : members) {
    if (!members_.empty() && members_.back().first == member.first) {
      members_.back().second = std::move(member.second);
    } else {
      members_.push_back(std::move(member));
    }
  }
}

void JsonObject::insert(std::string key, JsonValue value) {
  auto at = std::ranges::lower_bound(members_, key, std::less<>{}, &Member::first);
  if (at != members_.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    members_.emplace(at, std::move(key), std::move(value));
  }
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto at = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  return at != members_.end() && at->first == key ? &at->second : nullptr;
}

JsonKind JsonValue::kind() const {
  // Alternatives in declaration order: null, bool, u64, i64, double, string, array, object.
  static constexpr std::array kinds = {JsonKind::Null,   JsonKind::Bool,   JsonKind::Number,
                                       JsonKind::Number, JsonKind::Number, JsonKind::String,
                                       JsonKind::Array,  JsonKind::Object};
  return kinds[value_.index()];
}

const JsonValue* get_key(const JsonValue& value, std::string_view key) {
  const JsonObject* object = value.as_object();
  return object != nullptr ? object->find(key) : nullptr;
}

// ---- Serializer ----

namespace {

void append_char(std::string& out, char c) {
  static constexpr char hex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    default:
      break;
  }
  auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20) {
    out += c;
    return;
  }
  out += "\\u00";
  out += hex[byte >> 4];
  out += hex[byte & 0xF];
}

void append_string(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) append_char(out, c);
  out += '"';
}

// Shortest text that reads back as the same double, marked as a fraction when it looks integral.
void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  std::array<char, 32> text{};
  auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  std::string_view written(text.data(), result.ptr);
  out += written;
  if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_value(std::string& out, const JsonValue& value);

void append_array(std::string& out, const JsonArray& array) {
  out += '[';
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i > 0) out += ',';
    append_value(out, array[i]);
  }
  out += ']';
}

void append_object(std::string& out, const JsonObject& object) {
  out += '{';
  bool first = true;
  for (const auto& [key, member] : object) {
    if (!first) out += ',';
    first = false;
    append_string(out, key);
    out += ':';
    append_value(out, member);
  }
  out += '}';
}

void append_value(std::string& out, const JsonValue& value) {
  if (const bool* flag = value.as_bool()) {
    out += *flag ? "true" : "false";
  } else if (const std::uint64_t* u = value.as_u64()) {
    out += std::to_string(*u);
  } else if (const std::int64_t* i = value.as_i64()) {
    out += std::to_string(*i);
  } else if (const double* d = value.as_double()) {
    append_double(out, *d);
  } else if (const std::string* text = value.as_string()) {
    append_string(out, *text);
  } else if (const JsonArray* array = value.as_array()) {
    append_array(out, *array);
  } else if (const JsonObject* object = value.as_object()) {
    append_object(out, *object);
  } else {
    out += "null";
  }
}

}  // namespace

std::string serialize_compact(const JsonValue& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace velmora
