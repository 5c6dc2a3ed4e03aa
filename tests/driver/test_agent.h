// A stand-in for the desktop agent: listens on 127.0.0.1, publishes itself in the bridge file
// of a roaming folder, records every connection and frame, and answers by a per-connection
// script. It runs on a thread of its own until destroyed.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "deadline.h"

namespace velmora::driver {

struct AgentScript {
  enum class First {
    Reply,          // send `reply` when the first frame (the hello) is complete
    Close,          // close once the first frame is complete
    Ignore,         // never answer, keep reading
    CloseOnAccept,  // close before reading anything
  };
  enum class Then {
    Echo,    // send every later frame back
    Listen,  // keep reading, send nothing
    Close,   // close once the reply and `send_after_reply` are out
  };

  First first = First::Reply;
  Bytes reply = frame(R"({"ok":true})");  // raw bytes: may be a malformed frame on purpose
  Bytes send_after_reply{};               // raw bytes sent right after the reply
  Then then = Then::Echo;
};

struct AgentConnection {
  Clock::time_point accepted_at{};
  std::vector<Bytes> frames{};  // every whole frame received, in order
  bool bad_length = false;      // a length of 0 or above the largest frame arrived
  bool peer_closed = false;     // the other side closed or shut down its sending
  bool agent_closed = false;    // the script closed it
};

std::filesystem::path bridge_file_path(const std::filesystem::path& roaming);
// The bridge file's contents; the token is watched for on the host's output from now on.
std::string bridge_json(std::uint16_t port, std::string_view token);

class TestAgent {
 public:
  // scripts[i] drives connection i; the last script drives every later one.
  static std::expected<TestAgent, std::string> start(std::vector<AgentScript> scripts = {{}});

  TestAgent(TestAgent&&) noexcept;  // defined where State is complete
  TestAgent& operator=(TestAgent&&) = delete;
  ~TestAgent();

  std::uint16_t port() const;
  // Writes {"port":N,"token":"..."} to the bridge file under `roaming`.
  std::expected<void, std::string> publish(const std::filesystem::path& roaming,
                                           std::string_view token) const;

  std::vector<AgentConnection> connections() const;
  // Each is true when the condition holds before `limit` passes.
  bool wait_for_connections(std::size_t count, Duration limit) const;
  bool wait_for_frames(std::size_t connection, std::size_t count, Duration limit) const;
  bool wait_for_peer_close(std::size_t connection, Duration limit) const;

  struct State;

 private:
  explicit TestAgent(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
  std::jthread thread_;  // after state_: stopped and joined before the state goes
};

}  // namespace velmora::driver
