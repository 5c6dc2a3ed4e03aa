// The strict JSON reader, as a push parser and as a value tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "errors.h"
#include "json/value.h"

namespace velmora {

// Arrays and objects that may be open at once in a parsed message.
inline constexpr std::size_t MAX_JSON_NESTING = 127;

// Exactly one strict RFC 8259 text: no byte-order mark, at most MAX_JSON_NESTING open arrays and
// objects, finite numbers, valid UTF-8 strings; of repeated keys the last one wins.
std::expected<JsonValue, JsonError> parse_message(std::span<const std::byte> bytes);

// The push parser beneath parse_message, for readers that build a record of their own without a
// value tree. Each callback may refuse with a description; the parse stops there and the refusal
// becomes its JsonError, positioned at the last byte read. Nesting is not limited here.
class JsonVisitor {
 public:
  using Step = std::expected<void, std::string>;

  virtual ~JsonVisitor() = default;
  virtual Step null() = 0;
  virtual Step boolean(bool value) = 0;
  virtual Step unsigned_integer(std::uint64_t value) = 0;
  // Only values below zero; -0 and integers beyond 64 bits come as floating.
  virtual Step negative_integer(std::int64_t value) = 0;
  virtual Step floating(double value) = 0;
  virtual Step string(std::string&& value) = 0;
  virtual Step start_object() = 0;
  virtual Step key(std::string&& key) = 0;
  virtual Step end_object() = 0;
  virtual Step start_array() = 0;
  virtual Step end_array() = 0;
  // Whether the strings read next must be valid UTF-8; asked after every callback, so that a
  // reader may waive the check for values it discards. Escapes and control characters are
  // checked regardless.
  virtual bool strict_utf8() const { return true; }
};

// Feeds one strict JSON text (the rules of parse_message, nesting aside) to `visitor`.
std::expected<void, JsonError> visit_json(std::span<const std::byte> bytes, JsonVisitor& visitor);

}  // namespace velmora
