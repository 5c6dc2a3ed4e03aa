#include "host/connector.h"

#include <string>
#include <thread>

#include "platform/peer_owner.h"

namespace velmora {

namespace {

// How often one connection is asked about while the answer fails for a passing reason, and the
// pause between two questions: a few milliseconds in all, far less than a new attempt's pause.
constexpr int OWNER_QUESTIONS = 4;
constexpr auto OWNER_QUESTION_PAUSE = std::chrono::milliseconds(2);

// The owner of the far end of `stream`. A lookup that fails for a passing reason is asked again
// rather than taken for a stranger: giving up this connection would leave the user's own agent
// with a connection closed before a byte.
std::expected<platform::PeerOwner, IoError> owner_of(const platform::Socket& stream) {
  auto owner = platform::peer_owner(stream);
  for (int asked = 1; asked < OWNER_QUESTIONS && !owner && platform::passing_failure(owner.error());
       ++asked) {
    std::this_thread::sleep_for(OWNER_QUESTION_PAUSE);
    owner = platform::peer_owner(stream);
  }
  return owner;
}

std::expected<AgentLink, BridgeError> attempt(const std::filesystem::path& bridge_file) {
  auto bridge = read_bridge_file(bridge_file);
  if (!bridge) return std::unexpected(bridge.error());
  auto stream = platform::Socket::connect_loopback(bridge->port, CONNECT_TIMEOUT);
  if (!stream) return std::unexpected(BridgeError::not_connected());
  // Any user may hold a loopback port: the token goes to no listener of another user, nor to
  // one whose user could not be learnt where the system should have said.
  auto owner = owner_of(*stream);
  if (!owner)
    return std::unexpected(BridgeError::not_connected(
        "cannot tell who listens on 127.0.0.1:" + std::to_string(bridge->port) + ": " +
        owner.error().display()));
  if (*owner == platform::PeerOwner::Other) return std::unexpected(BridgeError::not_connected());
  return AgentLink{std::move(*bridge), std::move(*stream)};
}

}  // namespace

std::expected<AgentLink, BridgeError> connect_agent(const std::filesystem::path& bridge_file,
                                                    std::chrono::steady_clock::duration deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    // Every failure is retried alike; only a reason that the last attempt gave is kept, to be
    // named when the connector gives up.
    auto link = attempt(bridge_file);
    if (link) return link;
    if (std::chrono::steady_clock::now() >= end)
      return std::unexpected(link.error().kind() == BridgeError::Kind::NotConnected
                                 ? std::move(link).error()
                                 : BridgeError::not_connected());
    std::this_thread::sleep_for(RETRY_PAUSE);
  }
}

}  // namespace velmora
