// Every timing of a run, in one place.
#pragma once

#include <chrono>

namespace velmora {

// How long the run waits for the extension's first message, which may be a launch request.
inline constexpr std::chrono::milliseconds FIRST_MESSAGE_WAIT{300};
// How long the ordinary run keeps trying to reach the agent, which may still be starting.
inline constexpr std::chrono::seconds LINK_DEADLINE{8};
// How long a launch request tries the agent before it starts one.
inline constexpr std::chrono::milliseconds LAUNCH_PROBE_DEADLINE{300};
// The bound on one connection attempt, and the pause between two attempts.
inline constexpr std::chrono::milliseconds CONNECT_TIMEOUT{500};
inline constexpr std::chrono::milliseconds RETRY_PAUSE{200};

}  // namespace velmora
