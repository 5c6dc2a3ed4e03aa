// The pairing token goes only to a listener of the host's own user. The loopback interface is
// every user's, so a stranger may hold the bridge file's port while the agent is not running:
// the host connects, sees the stranger's uid, closes without a byte and keeps retrying. When it
// cannot learn the uid at all, it sends nothing either.
#include <unistd.h>

#include "agent_fixture.h"
#include "stranger.h"

namespace velmora::blackbox {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPrlimit = "/usr/bin/prlimit";

struct StrangerCase {
  const char* name;
  bool own_agent_later;  // the bridge file moves to the user's own agent mid-run
  // Started with RLIMIT_NOFILE at 4: the host's socket fits, the netlink socket and the
  // socket table's file do not, so the owner cannot be learnt at all.
  bool lookup_failing = false;
};

void PrintTo(const StrangerCase& row, std::ostream* out) {
  *out << row.name;
}

class StrangerOnThePort : public AgentTestWithParam<StrangerCase> {};

TEST_P(StrangerOnThePort, GetsNoByteAndTheHostWaitsForItsOwnAgent) {
  if (under_wine()) GTEST_SKIP() << "Wine's TCP table names no owner of a loopback connection";
  if (geteuid() != 0) GTEST_SKIP() << "only root can listen as another user";
  if (GetParam().lookup_failing && kInstrumented)
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  auto stranger = Stranger::start();
  ASSERT_TRUE(stranger) << stranger.error();
  ASSERT_TRUE(
      Succeeded(write_file(bridge_file_path(roaming()), bridge_json(stranger->port(), kToken))));
  auto started = Clock::now();
  Command command = this->command();
  if (GetParam().lookup_failing)
    command.argv.insert(command.argv.begin(), {kPrlimit, "--nofile=4"});
  auto host = HostProcess::start(command);
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(stranger->wait_for_connections(2, kEndsPromptly))
      << "the host is not retrying; the stranger got " << stranger->bytes_received() << " bytes";
  if (GetParam().own_agent_later) {
    ASSERT_TRUE(StartAgent({listening()}));
    EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
    EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
    host->close_stdin();
    EXPECT_TRUE(EndsQuietly(*host));
  } else {
    std::string reason =
        GetParam().lookup_failing
            ? ": cannot tell who listens on 127.0.0.1:" + std::to_string(stranger->port()) +
                  ": Too many open files (os error 24)"
            : "";
    EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1),
                         "velmora-web-host: the browser extension is not connected" + reason + "\n",
                         15s));
    EXPECT_GE(Clock::now() - started, 7500ms);
  }
  EXPECT_EQ(stranger->bytes_received(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Host, StrangerOnThePort,
                         testing::Values(StrangerCase{"only_a_stranger", false},
                                         StrangerCase{"own_agent_later", true},
                                         StrangerCase{"lookup_failing", false, true}),
                         NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
