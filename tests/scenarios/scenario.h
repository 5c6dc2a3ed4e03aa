// The scenario run: one seeded scenario draws every party's behaviour (bridge file, agent,
// extension, error stream, load); the runner plays it against the real executable and records
// the whole history; the oracle judges that history by the ending rules alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "deadline.h"
#include "host_process.h"
#include "host_setup.h"

namespace velmora::scenarios {

enum class Bridge {
  Missing,
  Late,
  Valid,
  MalformedThenValid,
  PortChanges,
  Fifo,
  DeviceLink,
  Directory,
  Sparse
};
enum class Agent {
  None,
  ListensLate,
  Silent,
  AcceptsLate,
  Refuses,
  NotJson,
  ClosesAfterHello,
  Resets,
  Accepts
};
enum class Pace { Fast, Slow, Stalls, Never };
enum class AgentEnd { Stays, CloseBetween, CloseInside, Reset };
enum class First { Launch, Other, LateLaunch, None };
enum class InputEnd { AfterFrames, InsideFrame, BadLength, Late };
enum class ErrorStream { Normal, Stuck, Closed };

struct Scenario {
  std::string id;  // the seed, then the shrink steps applied: "1234" or "1234/4,6"
  Bridge bridge = Bridge::Valid;
  driver::Duration
      bridge_delay{};  // Late, MalformedThenValid, PortChanges: when the good file appears
  Agent agent = Agent::Accepts;
  driver::Duration agent_delay{};  // ListensLate, AcceptsLate
  std::size_t reply_size{};        // Refuses, NotJson: bytes of the reply's payload
  Pace agent_reads = Pace::Fast;
  std::vector<std::size_t> agent_frames;  // once linked; 0 or above the largest is a bad length
  driver::Duration agent_gap{};
  AgentEnd agent_end = AgentEnd::Stays;
  First first = First::None;
  std::vector<std::size_t> ext_frames;  // after the first message, if any
  driver::Duration ext_gap{};
  driver::Duration ext_pause{};  // before the last frame: time for a backlog to start draining
  Pace ext_reads = Pace::Fast;   // Fast, Slow or Never
  InputEnd input_end = InputEnd::AfterFrames;
  driver::Duration close_delay{};  // after the last frame
  std::uint32_t bad_length = 0;    // BadLength
  ErrorStream errors = ErrorStream::Normal;
  int load = 0;  // busy loops beside the host; with any, the host shares one core with one
  // O_NONBLOCK on the host's standard input and output, as whoever shares them may set it.
  bool nonblocking_input = false;
  bool nonblocking_output = false;
};

// The launch request, and the moment a late first message comes, after the platform's start.
inline constexpr std::string_view kLaunch = R"({"op":"launch"})";
inline constexpr driver::Duration kLateFirst{600};
// A late end of input: past every ending the host must reach by itself.
inline constexpr driver::Duration kLateClose{13'500};

Scenario generate(std::uint64_t seed);
// The shrink step `step` applied; nothing when it changes nothing.
std::optional<Scenario> shrink(const Scenario& scenario, int step);
inline constexpr int kShrinkSteps = 14;
// From "SEED" or "SEED/STEP,STEP,...".
std::optional<Scenario> from_id(std::string_view id);
std::string describe(const Scenario& scenario);
// The agent accepts the hello (once listening, once accepting, or at once) and relays.
inline bool accepts(const Scenario& s) {
  return s.agent == Agent::Accepts || s.agent == Agent::AcceptsLate ||
         s.agent == Agent::ListensLate;
}
// The agent can be reached at some point well before the connector's deadline.
bool reachable(const Scenario& scenario);

// Payload `index` of one direction ('e' extension, 'a' agent): a function of these alone.
driver::Bytes payload(char direction, std::size_t index, std::size_t size);
// The frames the agent should see after the hello, in order (sizes and checksums).
struct Seen {
  std::size_t size;
  std::uint64_t sum;
  friend bool operator==(const Seen&, const Seen&) = default;
};
Seen seen(std::string_view bytes);

struct History {
  driver::Duration startup{};                // the platform's start allowance
  std::optional<driver::ExitStatus> status;  // nothing: still running at the hard limit, killed
  bool killed_for_memory = false;
  driver::Duration exit_at{};
  std::string errors;
  long peak_kib = 0;
  std::uint64_t backlog_peak = 0;  // bytes written by the extension, not yet at the agent
  // The extension.
  std::vector<Seen> to_extension;
  std::size_t ext_sent = 0;  // whole frames written before the end of input
  std::optional<driver::Duration> input_end_at;
  // The agent.
  std::optional<driver::Bytes> hello;
  std::string token;
  std::vector<Seen> to_agent;
  std::optional<driver::Duration> reply_at;  // the handshake's verdict or failure was sent (begun)
  std::optional<driver::Duration> reply_done;    // ... and complete
  std::size_t agent_sent = 0;                    // whole good frames sent once linked
  std::optional<driver::Duration> agent_end_at;  // closed, reset or sent a bad length
  bool agent_bad_length = false;
};

struct Failure {
  std::string rule;
  std::string what;
};

// Peak memory the scenario allows, in KiB, given the backlog it produced.
long memory_bound_kib(const Scenario& scenario, const History& history,
                      driver::HostPlatform platform);
std::vector<Failure> judge(const Scenario& scenario, const History& history,
                           driver::HostPlatform platform);

History run(const Scenario& scenario, const driver::HostSetup& setup);

}  // namespace velmora::scenarios
