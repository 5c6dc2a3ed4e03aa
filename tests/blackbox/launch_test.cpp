// The launch request: the host probes the agent, starts the agent's program from its own folder
// when nobody answers, and tells the extension whether it did. Each case runs a copy of the host
// in a folder of its own, beside the launch probe (which stands in for the agent and reports how
// it was started) or beside a file that cannot be started.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <thread>

#include "agent_fixture.h"
#include "stranger.h"

namespace velmora::blackbox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kLaunchRequest = R"({"op":"launch"})";
constexpr std::string_view kLaunched = R"({"launched":true,"ok":true})";
constexpr std::string_view kNotLaunched = R"({"launched":false,"ok":true})";
// Set for the host only: the probe finds it only if the host passes its environment on.
constexpr const char* kReportVariable = "VELMORA_PROBE_REPORT";
constexpr std::string_view kGarbage = "neither ELF nor PE: no program at all\n";

using Report = std::map<std::string, std::string>;

enum class AgentFile { None, Probe, Garbage, NotExecutable };
// Stranger: a listener of another user on the bridge file's port.
enum class Bridge { None, Listening, Stale, TooLargeForMemory, Fifo, Device, Stranger };
enum class Line { None, Launched, NotLaunched };

class LaunchTest : public AgentTest {
 protected:
  void SetUp() override;

  // A name that a shell or a careless quoting would split or expand.
  fs::path host_dir() const { return scratch() / "host 100% & (x)"; }
  fs::path host_copy() const { return host_dir() / host_setup().executable.filename(); }
  fs::path agent_path() const { return host_dir() / host_setup().agent_file_name(); }
  // The host's current folder: neither its own folder nor the driver's.
  fs::path work_dir() const { return scratch() / "work"; }
  fs::path report_path() const { return scratch() / "report.txt"; }
  // Long enough for a wrongly started probe to have reported.
  Duration no_start_grace() const { return 1s + host_setup().startup_allowance(); }

  static testing::AssertionResult Place(AgentFile kind, const fs::path& where);
  testing::AssertionResult Arrange(Bridge bridge);
  std::expected<HostProcess, std::string> start_at(const fs::path& executable) const;
  // The probe, started as the host must start the agent, reported so.
  testing::AssertionResult AgentProgramReported() const;
  // No report within a grace: nothing was started.
  testing::AssertionResult NoAgentProgramStarted() const;

 private:
  // As a browser may, the host is given a further open descriptor: the agent must not get it.
  std::optional<Pipe> held_pipe_;

 protected:
  std::optional<Stranger> stranger_;
};

void LaunchTest::SetUp() {
  AgentTest::SetUp();
  if (HasFatalFailure()) return;
  ASSERT_FALSE(host_setup().probe.empty()) << "the launch cases need --probe=PATH";
  std::error_code error;
  for (const fs::path& folder : {host_dir(), work_dir()}) {
    fs::create_directories(folder, error);
    ASSERT_FALSE(error) << folder << ": " << error.message();
  }
  fs::copy_file(host_setup().executable, host_copy(), error);
  ASSERT_FALSE(error) << "cannot copy the host: " << error.message();
  auto pipe = make_pipe();
  ASSERT_TRUE(pipe) << pipe.error();
  held_pipe_ = std::move(*pipe);
}

testing::AssertionResult LaunchTest::Place(AgentFile kind, const fs::path& where) {
  std::error_code error;
  switch (kind) {
    case AgentFile::None:
      return testing::AssertionSuccess();
    case AgentFile::Probe:
    case AgentFile::NotExecutable:
      fs::copy_file(host_setup().probe, where, error);
      if (!error && kind == AgentFile::NotExecutable) {
        fs::permissions(where, fs::perms::owner_read | fs::perms::owner_write, error);
      }
      break;
    case AgentFile::Garbage:
      if (auto written = write_file(where, kGarbage); !written) {
        return testing::AssertionFailure() << written.error();
      }
      fs::permissions(where, fs::perms::owner_all, error);
      break;
  }
  if (!error) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "cannot place " << where << ": " << error.message();
}

// A sparse file of 4 TiB: no memory holds it, and it takes no room on the disk.
testing::AssertionResult TooLargeForMemory(const fs::path& path) {
  std::error_code error;
  if (auto written = write_file(path, ""); !written) {
    return testing::AssertionFailure() << written.error();
  }
  fs::resize_file(path, std::uintmax_t{4} << 40, error);
  if (!error) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "cannot grow " << path << ": " << error.message();
}

testing::AssertionResult LaunchTest::Arrange(Bridge bridge) {
  switch (bridge) {
    case Bridge::None:
      return testing::AssertionSuccess();
    case Bridge::Listening:
      return StartAgent();
    case Bridge::Stale:
      break;
    case Bridge::TooLargeForMemory:
      return TooLargeForMemory(bridge_file_path(roaming()));
    case Bridge::Fifo:
    case Bridge::Device:
      return OddBridgeFile(bridge_file_path(roaming()), bridge == Bridge::Fifo);
    case Bridge::Stranger: {
      auto stranger = Stranger::start();
      if (!stranger) return testing::AssertionFailure() << stranger.error();
      stranger_.emplace(std::move(*stranger));
      return Succeeded(
          write_file(bridge_file_path(roaming()), bridge_json(stranger_->port(), kToken)));
    }
  }
  // An agent that ended without removing its bridge file: nothing listens on the port.
  std::uint16_t port = 0;
  {
    auto gone = TestAgent::start();
    if (!gone) return testing::AssertionFailure() << gone.error();
    port = gone->port();
  }
  if (auto written = write_file(bridge_file_path(roaming()), bridge_json(port, kToken)); !written) {
    return testing::AssertionFailure() << written.error();
  }
  return testing::AssertionSuccess();
}

std::expected<HostProcess, std::string> LaunchTest::start_at(const fs::path& executable) const {
  Command command = host_setup().relocated(executable).command(roaming());
  command.cwd = work_dir();
  command.inherited = {held_pipe_->read.get()};
  command.env.emplace_back(kReportVariable, host_setup().native_path(report_path()));
  // As a browser may, the host is started with a signal blocked.
  sigset_t blocked;
  sigset_t before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  auto host = HostProcess::start(command);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return host;
}

// The report at `path`, once it appears within `limit`.
std::optional<Report> read_report(const fs::path& path, Duration limit) {
  Deadline deadline(limit);
  while (!fs::exists(path)) {
    if (deadline.passed()) return std::nullopt;
    std::this_thread::sleep_for(50ms);
  }
  Report report;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

testing::AssertionResult LaunchTest::AgentProgramReported() const {
  auto report = read_report(report_path(), kEndsPromptly);
  if (!report) return testing::AssertionFailure() << "the agent's program did not report";
  // No arguments, the host's current folder, the null device for input and output, and
  // nothing else of the host's: on Linux neither its ignored SIGPIPE, nor the signal it was
  // started with blocked, nor its session.
  Report expected{{"args", "0"},
                  {"cwd", host_setup().native_path(fs::canonical(work_dir()))},
                  {"stdin", "null"},
                  {"stdout", "null"},
                  {"held", "none"}};
  if (!under_wine()) {
    expected.insert({{"ignored", "none"}, {"blocked", "none"}, {"session", "own"}});
  } else {
    // The program's ordinary path, quoted whole: the agent's runtime splits it into one word.
    expected["command_line"] =
        '"' + wine_path(fs::canonical(host_dir()) / agent_path().filename()) + '"';
  }
  if (*report == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "report " << testing::PrintToString(*report)
                                     << "\n  expected " << testing::PrintToString(expected);
}

testing::AssertionResult LaunchTest::NoAgentProgramStarted() const {
  if (!read_report(report_path(), no_start_grace())) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the agent's program was started";
}

// The launch probe's connection only: opened and closed without a byte.
testing::AssertionResult OneConnectionClosedWithoutData(const TestAgent& agent) {
  agent.wait_for_peer_close(0, kEndsPromptly);
  auto connections = agent.connections();
  if (connections.size() == 1 && connections[0].peer_closed && connections[0].frames.empty()) {
    return testing::AssertionSuccess();
  }
  auto failure = testing::AssertionFailure() << connections.size() << " connection(s)";
  if (!connections.empty()) {
    failure << "; the first closed: " << connections[0].peer_closed << ", with "
            << connections[0].frames.size() << " frame(s)";
  }
  return failure;
}

// Exactly the launch line for `agent`, or nothing; its path resolved and in the ordinary form
// of the host's platform (C:\... under Wine, not \\?\C:\...).
testing::AssertionResult LaunchLineIs(std::string_view written, Line line, const fs::path& agent) {
  if (line == Line::None) {
    if (written.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "error stream: " << testing::PrintToString(std::string(written));
  }
  std::string expected = "velmora-web-host: agent ";
  expected += line == Line::Launched ? "launched (" : "not launched (";
  expected += host_setup().native_path(fs::canonical(agent.parent_path()) / agent.filename());
  expected += ")\n";
  if (written == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "error stream: " << testing::PrintToString(std::string(written))
         << "\n  expected:     " << testing::PrintToString(expected);
}

struct LaunchCase {
  const char* name;
  Bridge bridge;
  AgentFile agent_file;
  bool launched;
  Line line;
  bool linux_only = false;
};

void PrintTo(const LaunchCase& row, std::ostream* out) {
  *out << row.name;
}

class LaunchRequest : public LaunchTest, public testing::WithParamInterface<LaunchCase> {};

TEST_P(LaunchRequest, RepliesWhetherThisHostStartedTheAgentAndEnds) {
  const LaunchCase& row = GetParam();
  if (row.linux_only && under_wine())
    GTEST_SKIP() << "a Linux row (no execute bit; no owner in Wine's TCP table)";
  if (row.bridge == Bridge::TooLargeForMemory && kInstrumented) GTEST_SKIP() << "sanitizer";
  if (row.bridge == Bridge::Stranger && geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_TRUE(Place(row.agent_file, agent_path()));
  ASSERT_TRUE(Arrange(row.bridge));
  auto host = start_at(host_copy());
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(Succeeded(host->write_frame(kLaunchRequest)));
  EXPECT_TRUE(NextFrameIs(*host, row.launched ? kLaunched : kNotLaunched));
  // The host ends by itself: its input stays open.
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(0)));
  EXPECT_TRUE(LaunchLineIs(host->error_output(), row.line, agent_path()));
  EXPECT_TRUE(NoMoreOutput(*host));
  if (row.launched) {
    EXPECT_TRUE(AgentProgramReported());
  } else if (row.agent_file == AgentFile::Probe) {
    EXPECT_TRUE(NoAgentProgramStarted());
  }
  if (row.bridge == Bridge::Listening) {
    EXPECT_TRUE(OneConnectionClosedWithoutData(agent()));
  }
  if (stranger_) {
    EXPECT_GT(stranger_->connections(), 0U);
    EXPECT_EQ(stranger_->bytes_received(), 0U);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Host, LaunchRequest,
    testing::Values(
        LaunchCase{"agent_listening", Bridge::Listening, AgentFile::Probe, false, Line::None},
        LaunchCase{"agent_started", Bridge::None, AgentFile::Probe, true, Line::Launched},
        LaunchCase{"stale_bridge_file", Bridge::Stale, AgentFile::Probe, true, Line::Launched},
        LaunchCase{"bridge_file_too_large_for_memory", Bridge::TooLargeForMemory, AgentFile::Probe,
                   true, Line::Launched},
        LaunchCase{"bridge_file_a_fifo", Bridge::Fifo, AgentFile::Probe, true, Line::Launched},
        LaunchCase{"bridge_file_a_device", Bridge::Device, AgentFile::Probe, true, Line::Launched},
        LaunchCase{"no_agent_file", Bridge::None, AgentFile::None, false, Line::None},
        LaunchCase{"agent_file_not_a_program", Bridge::None, AgentFile::Garbage, false,
                   Line::NotLaunched},
        LaunchCase{"agent_file_not_executable", Bridge::None, AgentFile::NotExecutable, false,
                   Line::NotLaunched, true},
        // Wine's TCP table names no owner: there the stranger would count as the agent.
        LaunchCase{"stranger_listening", Bridge::Stranger, AgentFile::Probe, true, Line::Launched,
                   true}),
    NameOfRow{});

TEST_F(LaunchTest, HostStartedThroughLinksLooksBesideTheFinalTarget) {
  if (under_wine()) GTEST_SKIP() << "symbolic links are a Linux case here";
  // link/host -> ../middle/host -> host/host; beside each link lies an agent that fails.
  fs::path middle = scratch() / "middle" / host_copy().filename();
  fs::path link = scratch() / "link" / host_copy().filename();
  std::error_code error;
  for (const fs::path& at : {middle, link}) {
    fs::create_directories(at.parent_path(), error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(Place(AgentFile::Garbage, at.parent_path() / host_setup().agent_file_name()));
  }
  fs::create_symlink(host_copy(), middle, error);
  ASSERT_FALSE(error) << error.message();
  fs::create_symlink(fs::path("..") / "middle" / middle.filename(), link, error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_TRUE(Place(AgentFile::Probe, agent_path()));

  auto host = start_at(link);
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(Succeeded(host->write_frame(kLaunchRequest)));
  EXPECT_TRUE(NextFrameIs(*host, kLaunched));
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(0)));
  EXPECT_TRUE(LaunchLineIs(host->error_output(), Line::Launched, agent_path()));
  EXPECT_TRUE(AgentProgramReported());
}

TEST_F(LaunchTest, LaunchRequestAfterTheFirstWaitIsRelayedAndStartsNothing) {
  ASSERT_TRUE(Place(AgentFile::Probe, agent_path()));
  ASSERT_TRUE(StartAgent({listening()}));
  auto host = start_at(host_copy());
  ASSERT_TRUE(host) << host.error();
  // Linking starts only once the wait for a first message is over.
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  ASSERT_TRUE(Succeeded(host->write_frame(kLaunchRequest)));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), Bytes(kLaunchRequest)}));
  EXPECT_TRUE(NoAgentProgramStarted());
  EXPECT_TRUE(StaysAlive(*host, 100ms));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
  EXPECT_TRUE(NoMoreOutput(*host));
}

}  // namespace
}  // namespace velmora::blackbox
