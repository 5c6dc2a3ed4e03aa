// Every message the host reads or writes: what it sends the agent and the extension, and the tests
// by which it judges what they send. The frames that carry them are written and read elsewhere.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "errors.h"
#include "json/value.h"

namespace velmora {

// To the agent, first: {"op":"hello","token":…} with the token as a JSON string.
std::string hello_message(const std::string& token);

// To the extension once the agent has accepted the hello.
inline constexpr std::string_view LINKED_NOTICE = R"({"op":"linked"})";

// To the extension after a launch request: {"launched":<launched>,"ok":true}.
std::string launch_reply(bool launched);

// The extension's first message asks for a launch: an object whose "op" is exactly "launch".
bool is_launch_request(std::span<const std::byte> first_message);

// The agent's reply to the hello accepts it: an object whose "ok" is the boolean true. A reply
// that is not one JSON text gives the parser's error, as parse_message would.
std::expected<bool, JsonError> is_acceptance(std::span<const std::byte> reply);

}  // namespace velmora
