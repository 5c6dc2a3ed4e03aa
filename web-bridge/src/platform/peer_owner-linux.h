// The second source of peer_owner on Linux on its own, so that it can be held against the
// running kernel's tables beside the first.
#pragma once

#include "platform/peer_owner.h"

namespace velmora::platform::linux_tables {

// The owner as /proc/net/tcp and /proc/net/tcp6 list it.
std::expected<PeerOwner, IoError> listed_owner(const Socket& stream);

}  // namespace velmora::platform::linux_tables
