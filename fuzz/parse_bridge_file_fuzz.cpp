// parse_bridge_file on any bytes. Where the same bytes also parse as a JSON tree, the tree decides
// the outcome: a record exactly when the tree is {"port": 0..65535, "token": string} with each of
// the two keys once (others ignored) or [port, token], and then with those values. A record must
// also survive being written in either form and read again; a failure must place its error
// inside the input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge_file.h"
#include "fuzz_support.h"
#include "json/parse.h"

namespace velmora::fuzz {
namespace {

// Counts the top-level keys that name a field, which the tree cannot tell (the last one wins).
class FieldKeyCounter final : public JsonVisitor {
 public:
  Step null() override { return {}; }
  Step boolean(bool /*value*/) override { return {}; }
  Step unsigned_integer(std::uint64_t /*value*/) override { return {}; }
  Step negative_integer(std::int64_t /*value*/) override { return {}; }
  Step floating(double /*value*/) override { return {}; }
  Step string(std::string&& /*value*/) override { return {}; }
  Step start_object() override { return open(); }
  Step key(std::string&& key) override {
    if (depth_ == 1 && key == "port") ++ports;
    if (depth_ == 1 && key == "token") ++tokens;
    return {};
  }
  Step end_object() override { return close(); }
  Step start_array() override { return open(); }
  Step end_array() override { return close(); }

  int ports = 0;
  int tokens = 0;

 private:
  Step open() {
    ++depth_;
    return {};
  }
  Step close() {
    --depth_;
    return {};
  }
  std::size_t depth_ = 0;
};

std::optional<std::uint16_t> as_port(const JsonValue* value) {
  const std::uint64_t* number = value != nullptr ? value->as_u64() : nullptr;
  if (number == nullptr || *number > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(*number);
}

// The record the tree calls for, or nothing when it calls for a failure.
std::optional<BridgeFile> record_of(const JsonValue& tree, std::span<const std::byte> input) {
  const JsonValue* port = nullptr;
  const JsonValue* token = nullptr;
  if (const JsonArray* array = tree.as_array()) {
    if (array->size() != 2) return std::nullopt;
    port = &(*array)[0];
    token = &(*array)[1];
  } else if (tree.is_object()) {
    FieldKeyCounter counter;
    check(visit_json(input, counter).has_value(), "what parses as a tree can be visited");
    if (counter.ports != 1 || counter.tokens != 1) return std::nullopt;
    port = get_key(tree, "port");
    token = get_key(tree, "token");
  } else {
    return std::nullopt;
  }
  auto number = as_port(port);
  const std::string* text = token->as_string();
  if (!number || text == nullptr) return std::nullopt;
  return BridgeFile{*number, *text};
}

void check_against_tree(const std::expected<BridgeFile, JsonError>& record,
                        std::span<const std::byte> input) {
  auto tree = parse_message(input);
  if (!tree) return;  // deeper nesting or bytes that only skipped values may hold
  auto want = record_of(*tree, input);
  check(record.has_value() == want.has_value(), "the tree decides whether a record is read");
  if (!want) return;
  check(record->port == want->port, "the port is the tree's");
  check(record->token == want->token, "the token is the tree's, byte for byte");
}

void check_rewritten(const BridgeFile& record) {
  JsonObject object;
  object.insert("token", record.token);
  object.insert("port", record.port);
  const JsonValue forms[] = {JsonValue(std::move(object)),
                             JsonValue(JsonArray{record.port, record.token})};
  for (const JsonValue& form : forms) {
    std::string text = serialize_compact(form);
    auto again = parse_bridge_file(as_bytes(text));
    check(again.has_value(), "a record written out reads again");
    check(again->port == record.port && again->token == record.token,
          "a record written out reads back the same");
  }
}

void run(std::span<const std::byte> input) {
  auto record = parse_bridge_file(input);
  if (!record) check_error_position(input, record.error());
  check_against_tree(record, input);
  if (record) check_rewritten(*record);
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::run(velmora::fuzz::as_bytes(data, size));
  return 0;
}
