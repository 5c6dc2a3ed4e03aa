// One connection to the agent, served on its own thread until the peer goes.
#pragma once

#include <memory>

#include "platform/socket.h"
#include "shared_state.h"

namespace velmora::agent {

// Reads the hello, answers it, then echoes every frame; a probe that sends nothing is dropped.
void serve_connection(platform::Socket connection, std::shared_ptr<SharedState> state);

}  // namespace velmora::agent
