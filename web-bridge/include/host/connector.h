// The agent connector: re-reads the bridge file and tries 127.0.0.1 at its port until a
// connection stands or the caller's deadline has passed.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>

#include "bridge_file.h"
#include "errors.h"
#include "host/timings.h"
#include "platform/socket.h"

namespace velmora {

// The connected stream and the bridge file read on the attempt that made it.
struct AgentLink {
  BridgeFile bridge;
  platform::Socket stream;
};

// At least one attempt; gives NotConnected once an attempt has failed at or after the deadline,
// with the reason when that attempt could not tell who listens.
std::expected<AgentLink, BridgeError> connect_agent(const std::filesystem::path& bridge_file,
                                                    std::chrono::steady_clock::duration deadline);

}  // namespace velmora
