// parse_message on any bytes. What parses must be a well-formed tree (keys unique and in
// unsigned byte order, valid UTF-8, nesting within the limit) that get_key searches correctly,
// that serialize_compact writes as compact JSON reading back to an equal value and the same
// bytes, and that is_launch_request and is_acceptance judge as get_key does. What fails must
// place its error inside the input, and is no launch request.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "host/messages.h"
#include "json/parse.h"

namespace velmora::fuzz {
namespace {

bool unsigned_less(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

// The member found by a plain walk, independent of how the object keeps its members.
const JsonValue* walk_for(const JsonValue& value, std::string_view key) {
  const JsonObject* object = value.as_object();
  if (object == nullptr) return nullptr;
  for (const auto& [name, member] : *object) {
    if (name == key) return &member;
  }
  return nullptr;
}

// The string rules written out plainly: quote, backslash and the named controls get their short
// escapes, other controls \u00xx in lower case, every other byte (7F and non-ASCII too) is copied.
std::string quoted(std::string_view text) {
  constexpr std::string_view named = "\"\\\b\t\n\f\r";
  constexpr std::string_view letters = "\"\\btnfr";
  constexpr std::string_view hex = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (std::size_t at = named.find(c); at != std::string_view::npos) {
      out += '\\';
      out += letters[at];
    } else if (byte < 0x20) {
      out += "\\u00";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out + '"';
}

void check_string(const std::string& text) {
  check(is_utf8(text), "strings are valid UTF-8");
  check(serialize_compact(JsonValue(text)) == quoted(text), "strings are escaped as JSON requires");
}

void check_tree(const JsonValue& value, std::size_t depth);

void check_object(const JsonValue& value, std::size_t depth) {
  const JsonObject& object = *value.as_object();
  const std::string* previous = nullptr;
  for (const auto& [key, member] : object) {
    check_string(key);
    check(previous == nullptr || unsigned_less(*previous, key),
          "keys are unique and in ascending unsigned byte order");
    check(get_key(value, key) == &member, "get_key finds every member");
    previous = &key;
    check_tree(member, depth);
  }
}

void check_tree(const JsonValue& value, std::size_t depth) {
  if (const std::string* text = value.as_string()) {
    check_string(*text);
  } else if (const JsonArray* array = value.as_array()) {
    check(depth < MAX_JSON_NESTING, "nesting stays within the limit");
    for (const JsonValue& element : *array) check_tree(element, depth + 1);
  } else if (value.is_object()) {
    check(depth < MAX_JSON_NESTING, "nesting stays within the limit");
    check_object(value, depth + 1);
  } else if (const double* number = value.as_double()) {
    check(std::isfinite(*number), "numbers are finite");
  }
}

void check_lookups(const JsonValue& value, std::span<const std::byte> input) {
  for (std::string_view key : {"op", "ok"}) {
    check(get_key(value, key) == walk_for(value, key), "get_key agrees with a plain walk");
  }
  const JsonValue* op = get_key(value, "op");
  const std::string* op_text = op != nullptr ? op->as_string() : nullptr;
  bool launch = op_text != nullptr && *op_text == "launch";
  check(is_launch_request(input) == launch, "is_launch_request agrees with get_key of op");
  const JsonValue* ok = get_key(value, "ok");
  const bool* ok_flag = ok != nullptr ? ok->as_bool() : nullptr;
  auto accepted = is_acceptance(input);
  check(accepted && *accepted == (ok_flag != nullptr && *ok_flag),
        "is_acceptance agrees with get_key of ok");
}

void check_round_trip(const JsonValue& value) {
  std::string text = serialize_compact(value);
  for (char c : text) {
    check(static_cast<unsigned char>(c) >= 0x20, "compact text holds no whitespace or control");
  }
  check(is_utf8(text), "compact text is valid UTF-8");
  auto again = parse_message(as_bytes(text));
  if (!again) fail("compact text parses again: " + again.error().display() + " in " + text);
  check(*again == value, "compact text parses to an equal value");
  check(serialize_compact(*again) == text, "serialising the reparsed value gives the same bytes");
}

void run(std::span<const std::byte> input) {
  auto parsed = parse_message(input);
  if (!parsed) {
    check_error_position(input, parsed.error());
    check(!is_launch_request(input), "text that does not parse is no launch request");
    auto accepted = is_acceptance(input);
    check(!accepted && accepted.error().display() == parsed.error().display(),
          "is_acceptance fails as parse_message does");
    return;
  }
  check_tree(*parsed, 0);
  check_lookups(*parsed, input);
  check_round_trip(*parsed);
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::run(velmora::fuzz::as_bytes(data, size));
  return 0;
}
