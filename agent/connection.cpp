#include "connection.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "agent.h"
#include "frame.h"
#include "json/parse.h"

namespace velmora::agent {

namespace {

bool has_string_member(const JsonValue& message, std::string_view key, std::string_view value) {
  const JsonValue* member = get_key(message, key);
  const std::string* text = member != nullptr ? member->as_string() : nullptr;
  return text != nullptr && *text == value;
}

bool is_hello(std::span<const std::byte> payload, const std::string& token) {
  auto message = parse_message(payload);
  return message && has_string_member(*message, "op", "hello") &&
         has_string_member(*message, "token", token);
}

bool is_stop(std::span<const std::byte> payload) {
  return std::ranges::equal(payload, as_bytes(STOP_MESSAGE));
}

std::string verdict(bool accepted) {
  JsonObject reply;
  reply.insert("ok", accepted);
  return serialize_compact(JsonValue(std::move(reply)));
}

bool answer_hello(platform::Socket& connection, bool accepted) {
  return write_frame(connection, as_bytes(verdict(accepted))).has_value();
}

// The linked state: every frame is answered, and the stop message is honoured, from the host
// that proved the token only.
void serve_linked(platform::Socket& connection, SharedState& state) {
  for (;;) {
    auto frame = read_frame(connection);
    if (!frame) return;
    if (is_stop(*frame)) return state.stop();
    if (!write_frame(connection, *frame)) return;
  }
}

}  // namespace

void serve_connection(platform::Socket connection, std::shared_ptr<SharedState> state) {
  Enlistment enlisted(*state, connection);
  if (!enlisted) return;
  (void)connection.set_no_delay();  // without it an echo may wait for a delayed ack
  auto hello = read_frame(connection);
  if (!hello) return;
  bool accepted = is_hello(*hello, state->token);
  if (!answer_hello(connection, accepted)) return;
  if (accepted) serve_linked(connection, *state);
}

}  // namespace velmora::agent
