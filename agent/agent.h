// The sample agent: listens on a free loopback port, publishes the port and a fresh token in the
// bridge file, and serves each connection on its own thread: the hello, the verdict, then an echo
// of every frame. A frame of exactly {"op":"stop"} withdraws the bridge file and ends the agent.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace velmora::agent {

// The control frame that ends the agent; compared byte for byte and never echoed.
inline constexpr std::string_view STOP_MESSAGE = R"({"op":"stop"})";

// What the accept loop and every connection thread share; it outlives the Agent, because
// connection threads are detached and end only when their peer goes.
struct SharedState;

class Agent {
 public:
  // Binds the listener and publishes the bridge file at `bridge_file`.
  static std::expected<Agent, std::string> open(std::filesystem::path bridge_file);
  Agent(Agent&& other) noexcept;
  Agent& operator=(Agent&& other) = delete;
  // Withdraws the bridge file if nothing has yet.
  ~Agent();

  std::uint16_t port() const { return listener_.port(); }
  const std::string& token() const;

  // Serves connections until a stop; the bridge file is gone when it returns.
  void run();
  // From any thread: withdraws the bridge file, ends every open connection and makes run return.
  void request_stop();

 private:
  Agent(platform::Listener listener, std::shared_ptr<SharedState> state);
  platform::Listener listener_;
  std::shared_ptr<SharedState> state_;
};

// The bridge file's contents: {"port":N,"token":"..."}, the token escaped as JSON requires.
std::string bridge_file_contents(std::uint16_t port, const std::string& token);

// 32 lowercase hexadecimal digits from the system's random source.
std::string fresh_token();

}  // namespace velmora::agent
