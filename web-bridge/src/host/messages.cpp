#include "host/messages.h"

#include <optional>
#include <string_view>
#include <utility>

#include "json/parse.h"

namespace velmora {

namespace {

// What the last top-level member under one key holds, judged as parse_message and get_key
// would (the same errors at the same positions) without a tree: either side may send up to
// 16 MiB, which as a tree would take many times that.
class TopLevelMember final : public JsonVisitor {
 public:
  explicit TopLevelMember(std::string_view key) : key_(key) {}

  Step null() override { return scalar(JsonValue(nullptr)); }
  Step boolean(bool value) override { return scalar(value); }
  Step unsigned_integer(std::uint64_t /*value*/) override { return scalar(std::nullopt); }
  Step negative_integer(std::int64_t /*value*/) override { return scalar(std::nullopt); }
  Step floating(double /*value*/) override { return scalar(std::nullopt); }
  Step string(std::string&& value) override { return scalar(std::move(value)); }
  Step start_object() override { return open(true); }
  Step key(std::string&& key) override {
    at_key_ = depth_ == 1 && key == key_;
    return {};
  }
  Step end_object() override { return close(); }
  Step start_array() override { return open(false); }
  Step end_array() override { return close(); }

  // The message is an object whose member under the key is `wanted`, a scalar.
  bool holds(const JsonValue& wanted) const { return top_is_object_ && value_ == wanted; }

 private:
  // A later member replaces an earlier one, as the last of repeated keys wins; numbers and
  // containers are kept as nothing, since no wanted value is one.
  Step scalar(std::optional<JsonValue> value) {
    if (depth_ == 1 && at_key_) value_ = std::move(value);
    return {};
  }
  Step open(bool object) {
    if (depth_ == MAX_JSON_NESTING) return std::unexpected("recursion limit exceeded");
    if (depth_ == 0) top_is_object_ = object;
    if (depth_ == 1 && at_key_) value_.reset();
    ++depth_;
    return {};
  }
  Step close() {
    --depth_;
    return {};
  }

  std::string_view key_;
  std::size_t depth_ = 0;
  bool top_is_object_ = false;
  bool at_key_ = false;
  std::optional<JsonValue> value_;
};

}  // namespace

std::string hello_message(const std::string& token) {
  JsonObject message;
  message.insert("op", JsonValue(std::string("hello")));
  message.insert("token", JsonValue(token));
  return serialize_compact(JsonValue(std::move(message)));
}

std::string launch_reply(bool launched) {
  JsonObject reply;
  reply.insert("ok", JsonValue(true));
  reply.insert("launched", JsonValue(launched));
  return serialize_compact(JsonValue(std::move(reply)));
}

bool is_launch_request(std::span<const std::byte> first_message) {
  TopLevelMember op("op");
  return visit_json(first_message, op) && op.holds(JsonValue("launch"));
}

std::expected<bool, JsonError> is_acceptance(std::span<const std::byte> reply) {
  TopLevelMember ok("ok");
  if (auto parsed = visit_json(reply, ok); !parsed) return std::unexpected(parsed.error());
  return ok.holds(JsonValue(true));
}

}  // namespace velmora
