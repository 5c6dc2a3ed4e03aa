#include "shared_state.h"

#include <algorithm>
#include <chrono>

namespace velmora::agent {

SharedState::SharedState(std::string secret, std::uint16_t listening_port, PublishedFile bridge)
    : token(std::move(secret)), port(listening_port), bridge_(std::move(bridge)) {}

void SharedState::stop() {
  // The file goes first: a peer that sees its connection end may rely on the file being gone.
  bridge_.withdraw();
  {
    std::lock_guard lock(mutex_);
    if (stopping_.exchange(true)) return;
    for (platform::Socket* connection : open_) connection->shutdown_both();
  }
  wake_listener();
}

// accept() cannot be interrupted portably; a connection of our own ends the wait.
void SharedState::wake_listener() const {
  constexpr std::chrono::milliseconds patience{500};
  (void)platform::Socket::connect_loopback(port, patience);
}

bool SharedState::enlist(platform::Socket& connection) {
  std::lock_guard lock(mutex_);
  if (stopping_.load()) return false;
  open_.push_back(&connection);
  return true;
}

void SharedState::dismiss(platform::Socket& connection) {
  std::lock_guard lock(mutex_);
  std::erase(open_, &connection);
}

Enlistment::Enlistment(SharedState& state, platform::Socket& connection)
    : state_(state), connection_(connection), enlisted_(state.enlist(connection)) {}

Enlistment::~Enlistment() {
  if (enlisted_) state_.dismiss(connection_);
}

}  // namespace velmora::agent
