// Cases with a test agent published in the roaming folder, and the checks on what the
// extension receives.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_fixture.h"
#include "test_agent.h"
#include "unique_fd.h"

namespace velmora::blackbox {

// The host's first frame to the extension once linked.
inline constexpr std::string_view kLinkedNotice = R"({"op":"linked"})";
// A token that needs no escaping, and the hello that carries it. Every byte the host writes is
// scanned for it, the stress run's gigabytes of random frames included: a 5-byte token turns up
// in random bytes once in 2^40, often enough to fail a run now and then; 16 bytes never do.
inline constexpr std::string_view kToken = "t0k3n-5e1b9c47d2a8f036";
inline constexpr std::string_view kHello = R"({"op":"hello","token":"t0k3n-5e1b9c47d2a8f036"})";
static_assert(kToken.size() >= 16);

// Accepts the hello, then only records what it receives.
inline AgentScript listening() {
  return {.then = AgentScript::Then::Listen};
}

// A host and the connection it made, for a case that plays the agent on the raw socket.
struct BareLink {
  HostProcess host;
  UniqueFd connection;
};

class AgentTest : public HostTest {
 protected:
  // Publishes a bare loopback listener with kToken, starts the host and accepts its connection;
  // nothing is read or sent on it. A `receive_buffer` in bytes is the connection's from the
  // start, so the host finds it full soon once nothing is read.
  std::expected<BareLink, std::string> StartWithBareAgent(int receive_buffer = 0) const;
  // The same, through the handshake: the hello read, accepted, and the linked notice read.
  std::expected<BareLink, std::string> StartLinkedWithBareAgent(int receive_buffer = 0) const;
  // Starts the test agent with `scripts` and publishes it with `token`, if one is given.
  testing::AssertionResult StartAgent(std::vector<AgentScript> scripts = {{}},
                                      std::optional<std::string_view> token = kToken);
  TestAgent& agent() { return *agent_; }

 private:
  std::optional<TestAgent> agent_;
};

template <typename Param>
class AgentTestWithParam : public AgentTest, public testing::WithParamInterface<Param> {};

// The next frame on the host's standard output is `expected`, within `limit`.
testing::AssertionResult NextFrameIs(HostProcess& host, std::string_view expected,
                                     Duration limit = kEndsPromptly);
// The host has written nothing more to its standard output: check once it has ended.
testing::AssertionResult NoMoreOutput(HostProcess& host);
// Connection `index` of the agent received exactly `expected` within `limit`.
testing::AssertionResult AgentReceived(const TestAgent& agent, std::size_t index,
                                       const std::vector<Bytes>& expected,
                                       Duration limit = kEndsPromptly);

// The agent had exactly `count` connections, each of which received exactly `expected`: for a
// check after every host has ended.
testing::AssertionResult EachConnectionReceived(const TestAgent& agent, std::size_t count,
                                                const std::vector<Bytes>& expected,
                                                Duration limit = kEndsPromptly);

// A bridge file that is no regular file: a FIFO that nobody writes, whose open would block, or
// else a link to a device that never ends.
testing::AssertionResult OddBridgeFile(const std::filesystem::path& path, bool fifo);

}  // namespace velmora::blackbox
