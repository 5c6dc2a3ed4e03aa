// What the accept loop and the connection threads of one agent share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "published_file.h"

namespace velmora::agent {

struct SharedState {
  SharedState(std::string secret, std::uint16_t listening_port, PublishedFile bridge);

  const std::string token;
  const std::uint16_t port;

  bool stopping() const { return stopping_.load(); }
  // Withdraws the bridge file, then ends every enlisted connection and wakes the accept loop.
  // Idempotent; the file is gone when any call returns.
  void stop();
  // Registers an open connection, so that a stop can end it; refused once stopping.
  bool enlist(platform::Socket& connection);
  void dismiss(platform::Socket& connection);

 private:
  void wake_listener() const;

  PublishedFile bridge_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<platform::Socket*> open_;
};

// Keeps a connection enlisted for its lifetime; declare it after the socket it names.
class Enlistment {
 public:
  Enlistment(SharedState& state, platform::Socket& connection);
  ~Enlistment();
  Enlistment(const Enlistment&) = delete;
  Enlistment& operator=(const Enlistment&) = delete;
  explicit operator bool() const { return enlisted_; }

 private:
  SharedState& state_;
  platform::Socket& connection_;
  bool enlisted_;
};

}  // namespace velmora::agent
