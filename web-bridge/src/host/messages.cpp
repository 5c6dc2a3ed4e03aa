#include "host/messages.h"

#include <string_view>
#include <utility>

#include "json/parse.h"

namespace velmora {

namespace {

// Judges the first message as parse_message and get_key would, without a tree: the extension
// may send up to 16 MiB, which as a tree would take many times that.
class LaunchProbe final : public JsonVisitor {
 public:
  Step null() override { return scalar(false); }
  Step boolean(bool /*value*/) override { return scalar(false); }
  Step unsigned_integer(std::uint64_t /*value*/) override { return scalar(false); }
  Step negative_integer(std::int64_t /*value*/) override { return scalar(false); }
  Step floating(double /*value*/) override { return scalar(false); }
  Step string(std::string&& value) override { return scalar(value == "launch"); }
  Step start_object() override { return open(true); }
  Step key(std::string&& key) override {
    at_op_ = depth_ == 1 && key == "op";
    return {};
  }
  Step end_object() override { return close(); }
  Step start_array() override { return open(false); }
  Step end_array() override { return close(); }

  bool launch() const { return top_is_object_ && launch_; }

 private:
  Step scalar(bool launch) {
    note(launch);
    return {};
  }
  // A later "op" replaces an earlier one, as the last of repeated keys wins.
  void note(bool launch) {
    if (depth_ == 1 && at_op_) launch_ = launch;
  }
  Step open(bool object) {
    if (depth_ == MAX_JSON_NESTING) return std::unexpected("recursion limit exceeded");
    if (depth_ == 0) top_is_object_ = object;
    note(false);
    ++depth_;
    return {};
  }
  Step close() {
    --depth_;
    return {};
  }

  std::size_t depth_ = 0;
  bool top_is_object_ = false;
  bool at_op_ = false;
  bool launch_ = false;
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
  LaunchProbe probe;
  return visit_json(first_message, probe) && probe.launch();
}

bool is_acceptance(const JsonValue& reply) {
  const JsonValue* ok = get_key(reply, "ok");
  const bool* flag = ok != nullptr ? ok->as_bool() : nullptr;
  return flag != nullptr && *flag;
}

}  // namespace velmora
