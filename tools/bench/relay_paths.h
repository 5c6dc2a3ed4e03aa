// The ways the benchmark extension reaches the benchmark agent: through the host (started as a
// browser starts it, linking with the agent's handshake), through a baseline build of the host
// (another revision, to compare with in the same run), through socat relaying standard input
// and output to the agent's port, and straight into the agent's socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora::bench {

enum class PathKind { Host, Baseline, Socat, Direct };

// The agent's listening socket on 127.0.0.1, one connection per path.
class AgentListener {
 public:
  AgentListener();
  AgentListener(const AgentListener&) = delete;
  AgentListener& operator=(const AgentListener&) = delete;
  ~AgentListener();

  std::uint16_t port() const { return port_; }
  // The next connection, with the no-delay option set.
  int accept();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

struct PathConfig {
  std::filesystem::path host;      // the host executable
  std::filesystem::path baseline;  // the baseline's, if there is one
  // A program and its arguments that run the host or the baseline, such as strace.
  std::vector<std::string> wrapper;
  // A program and its arguments that place every relay, socat too, such as taskset.
  std::vector<std::string> placement;
  std::filesystem::path roaming;  // the roaming folder that holds the bridge file
  std::string token;
};

// One running path, with the extension's two ends and the agent's end of the connection.
class Path {
 public:
  // Starts the path, sends the extension's first message at once and waits until it has
  // reached the agent (and, for the host, until the linked notice has reached the extension).
  static Path start(PathKind kind, const PathConfig& config, AgentListener& agent);

  Path(Path&& other) noexcept;
  Path& operator=(Path&&) = delete;
  ~Path();

  int extension_out() const { return extension_out_; }
  int extension_in() const { return extension_in_; }
  int agent() const { return agent_; }
  // The relay process, if the path has one.
  std::optional<pid_t> relay_pid() const;

  // From the start to the first message read by the agent, and to the linked notice read by
  // the extension (the host only).
  std::chrono::nanoseconds to_first_message{};
  std::optional<std::chrono::nanoseconds> to_linked{};

 private:
  Path() = default;
  void stop();

  pid_t pid_ = -1;
  int extension_out_ = -1;
  int extension_in_ = -1;  // the same descriptor as extension_out_ on the direct path
  int agent_ = -1;
};

const char* name_of(PathKind kind);
// The host or its baseline: a relay that links with the agent's handshake.
bool is_host(PathKind kind);

}  // namespace velmora::bench
