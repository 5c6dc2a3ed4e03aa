// Whose program holds the agent's end of a loopback connection. The loopback interface is shared
// by every user of the machine, so whoever binds the bridge file's port first would be sent the
// pairing token: the connector asks this before it sends a byte.
#pragma once

#include <expected>

#include "errors.h"
#include "platform/socket.h"

namespace velmora::platform {

enum class PeerOwner {
  Same,     // the host's own user
  Other,    // another user: nothing may be sent
  Unknown,  // the system cannot say (no diag module, or its table names no owner)
};

// The owner of the far end of `stream`, a connection to 127.0.0.1, or why the lookup failed
// where the system should have answered: then nothing may be sent either.
std::expected<PeerOwner, IoError> peer_owner(const Socket& stream);

// Whether `failure`, of peer_owner, may pass if the same connection is asked about again at
// once: the system's table changed while it was being read. The answer of the next question
// then holds as any other.
bool passing_failure(const IoError& failure);

}  // namespace velmora::platform
