// The link handshake: the hello with the token, the agent's verdict, and the linked notice that
// tells the extension the link stands.
#pragma once

#include <expected>
#include <string>

#include "errors.h"
#include "platform/socket.h"

namespace velmora {

// Sets no-delay, sends the hello, reads one reply frame (without a time limit) and, when the
// agent accepts, writes {"op":"linked"} to standard output. Nothing beyond the reply is read.
std::expected<void, HostError> link_agent(platform::Socket& stream, const std::string& token);

}  // namespace velmora
