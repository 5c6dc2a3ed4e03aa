// Faults at random moments: the agent killed in each phase of a link, the extension's input
// cut at random byte offsets, the bridge file torn by an agent rewriting it. Each iteration draws
// its moment from a seeded generator (VELMORA_FAULT_SEED repeats a run; the seed is printed on
// failure) and checks the host's status and error line, and that nothing reached either side
// that should not have: no frame to the agent before the hello, no linked notice without an
// acceptance, and no frame on either side that was not sent, or not whole, or out of order.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <regex>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "killed_agent.h"
#include "loopback.h"

namespace velmora::blackbox {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kAccept = R"({"ok":true})";
constexpr std::string_view kAgentClosed = "velmora-web-host: failed to fill whole buffer\n";

std::uint64_t fault_seed() {
  static const std::uint64_t seed = [] {
    const char* text = std::getenv("VELMORA_FAULT_SEED");
    if (text != nullptr && *text != '\0') return std::uint64_t{std::strtoull(text, nullptr, 10)};
    return std::uint64_t{std::random_device{}()};
  }();
  return seed;
}

class FaultTest : public AgentTest {
 protected:
  // Iterations per case: each pays a process start, which Wine makes slow.
  int iterations() const { return under_wine() ? 2 : 4; }
  std::size_t draw(std::size_t low, std::size_t high) {  // inclusive
    return std::uniform_int_distribution<std::size_t>(low, high)(rng_);
  }
  Duration draw_ms(int high) { return Duration(draw(0, static_cast<std::size_t>(high))); }
  // Frames of random sizes up to `largest`, with random contents.
  std::vector<Bytes> random_frames(std::size_t count, std::size_t largest) {
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < count; ++i) {
      Bytes payload(draw(1, largest), '\0');
      for (char& c : payload) c = static_cast<char>(draw(0, 255));
      out.push_back(std::move(payload));
    }
    return out;
  }
  std::filesystem::path report() const { return scratch() / "agent-report"; }

  std::mt19937_64 rng_{fault_seed()};
};

std::string seed_note() {
  return "VELMORA_FAULT_SEED=" + std::to_string(fault_seed());
}

// One line with the system's text and code. Wine's texts are its own; Linux's are known.
bool IsOsErrorLine(std::string_view written, bool under_wine,
                   std::initializer_list<std::string_view> linux_lines) {
  static const std::regex os_error(R"(velmora-web-host: [^\n]+ \(os error \d+\)\n)");
  if (under_wine) return std::regex_match(std::string(written), os_error);
  return std::ranges::find(linux_lines, written) != linux_lines.end();
}

constexpr std::string_view kBrokenPipe = "velmora-web-host: Broken pipe (os error 32)\n";

// The agent's connection ending: an end of stream, or a reset (met by a read, or by a write as a
// reset or a broken pipe) shown as the system's error.
testing::AssertionResult IsAgentGoneLine(std::string_view written) {
  constexpr std::string_view kReset = "velmora-web-host: Connection reset by peer (os error 104)\n";
  const bool under_wine = host_setup().platform == HostPlatform::Wine;
  if (written == kAgentClosed || IsOsErrorLine(written, under_wine, {kReset, kBrokenPipe})) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "error stream: " << testing::PrintToString(std::string(written));
}

// An agent killed while relaying: the forwarder meeting the dead connection ends the host
// quietly; the main thread meeting it reports it. Gives whether the host reported it.
bool EndsQuietlyOrReportsTheAgentGone(HostProcess& host) {
  auto ended = host.wait(kEndsPromptly);
  if (!ended) {
    ADD_FAILURE() << ended.error();
    return false;
  }
  if (*ended == ExitStatus::exited(0)) {
    EXPECT_EQ(host.error_output(), "");
    return false;
  }
  EXPECT_EQ(*ended, ExitStatus::exited(1));
  EXPECT_TRUE(IsAgentGoneLine(host.error_output()));
  return true;
}

// `got` is where `all` begins.
testing::AssertionResult IsPrefix(std::string_view got, std::string_view all, const char* what) {
  if (all.starts_with(got)) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < all.size() && got[at] == all[at]) ++at;
  return testing::AssertionFailure()
         << what << ": " << got.size() << " bytes, differing from what was sent at byte " << at;
}

// Everything the host wrote to the extension until it ended: whole frames, and what is left.
struct ExtensionSaw {
  std::vector<Bytes> frames;
  Bytes rest;
};

ExtensionSaw drain_output(HostProcess& host) {
  ExtensionSaw saw;
  Deadline limit(kEndsPromptly);
  while (!limit.passed()) {
    auto payload = host.read_frame(100ms);
    if (payload) {
      saw.frames.push_back(std::move(*payload));
    } else if (payload.error() != ReadError::TimedOut || host.exit_within(Duration(0))) {
      break;
    }
  }
  saw.rest = host.unread_output();
  return saw;
}

Bytes joined_frames(const std::vector<Bytes>& payloads) {
  Bytes out;
  for (const Bytes& payload : payloads) out += frame(payload);
  return out;
}

// ---- The agent killed ------------------------------------------------------------------------

enum class Phase { Connecting, Handshake, Relay, MidFrameToExtension, MidFrameToAgent };

struct KillCase {
  const char* name;
  Phase phase;
};

void PrintTo(const KillCase& row, std::ostream* out) {
  *out << row.name;
}

class AgentKilled : public FaultTest, public testing::WithParamInterface<KillCase> {
 protected:
  void connecting();
  void handshake();
  void relay();
  void mid_frame_to_extension();
  void mid_frame_to_agent();

  std::expected<KilledAgent, std::string> start_killed(const std::vector<KillStep>& steps) {
    auto agent = KilledAgent::start(steps, report());
    if (agent) {
      auto written = write_file(bridge_file_path(roaming()), bridge_json(agent->port(), kToken));
      if (!written) return std::unexpected(written.error());
    }
    return agent;
  }
};

const Bytes kHelloFrame = frame(kHello);
const Bytes kAcceptFrame = frame(kAccept);

// Killed before or while the host connects: the host either links with the agent that takes its
// place, with that agent's token, or, when it had already reached the dead one, fails.
void AgentKilled::connecting() {
  auto agent = start_killed({});  // listens, never accepts
  ASSERT_TRUE(agent) << agent.error();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  std::this_thread::sleep_for(draw_ms(600) + host_setup().startup_allowance() / 2);
  agent->kill();
  constexpr std::string_view kNewToken = "replacement-token";
  auto replacement = TestAgent::start({listening()});
  ASSERT_TRUE(replacement) << replacement.error();
  ASSERT_TRUE(Succeeded(replacement->publish(roaming(), kNewToken)));
  auto notice = host->read_frame(kEndsPromptly);
  if (notice) {
    EXPECT_EQ(*notice, kLinkedNotice);
    EXPECT_TRUE(AgentReceived(*replacement, 0, {R"({"op":"hello","token":"replacement-token"})"}));
    host->close_stdin();
    EXPECT_TRUE(EndsQuietly(*host));
  } else {
    EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
    EXPECT_TRUE(IsAgentGoneLine(host->error_output()));
    EXPECT_TRUE(NoMoreOutput(*host));
  }
  EXPECT_TRUE(IsPrefix(agent->received(), kHelloFrame, "the killed agent received"));
}

// Killed after reading part or all of the hello, perhaps with part of its reply sent.
void AgentKilled::handshake() {
  std::size_t read = draw(0, kHelloFrame.size());
  std::vector<KillStep> steps{{KillStep::Kind::Accept}};
  // A read of 0 would mean "all that comes": reading nothing is no read step at all.
  if (read > 0) steps.push_back({KillStep::Kind::Read, read});
  if (read == kHelloFrame.size()) {
    steps.push_back(
        {KillStep::Kind::Write, 0, kAcceptFrame.substr(0, draw(0, kAcceptFrame.size() - 1))});
  }
  auto agent = start_killed(steps);
  ASSERT_TRUE(agent) << agent.error();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(agent->wait_until_done(kEndsPromptly));
  std::this_thread::sleep_for(draw_ms(30));
  agent->kill();
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
  EXPECT_TRUE(IsAgentGoneLine(host->error_output()));
  EXPECT_TRUE(NoMoreOutput(*host)) << "no linked notice without an acceptance";
  EXPECT_EQ(agent->received(), kHelloFrame.substr(0, read));
}

// Killed while echoing a stream of frames that the extension keeps sending.
void AgentKilled::relay() {
  auto agent = start_killed({{KillStep::Kind::Accept},
                             {KillStep::Kind::Read, kHelloFrame.size()},
                             {KillStep::Kind::Write, 0, kAcceptFrame},
                             {KillStep::Kind::Echo}});
  ASSERT_TRUE(agent) << agent.error();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  const std::vector<Bytes> sent = random_frames(400, 16 * 1024);
  std::jthread extension([&] {
    for (const Bytes& payload : sent) {
      if (!host->write_frame(payload, kEndsPromptly)) break;  // the host has ended
    }
  });
  std::this_thread::sleep_for(draw_ms(150));
  agent->kill();
  ExtensionSaw saw = drain_output(*host);
  extension.join();
  if (EndsQuietlyOrReportsTheAgentGone(*host)) {
    EXPECT_EQ(saw.rest, "") << "the main thread writes whole frames before it reports";
  }
  // Echoes come back whole and in order; only a host ended by its other thread may have been
  // stopped inside one.
  const Bytes all_sent = joined_frames(sent);
  EXPECT_TRUE(IsPrefix(joined_frames(saw.frames) + saw.rest, all_sent, "the extension received"));
  EXPECT_TRUE(IsPrefix(agent->received(), kHelloFrame + all_sent, "the agent received"));
}

// Killed with a frame to the extension half sent: the frames before it arrive, that one never.
void AgentKilled::mid_frame_to_extension() {
  const std::vector<Bytes> whole = random_frames(draw(0, 3), 100'000);
  const Bytes cut = frame(random_frames(1, 1'000'000)[0]);
  const Bytes partial = cut.substr(0, draw(1, cut.size() - 1));
  auto agent =
      start_killed({{KillStep::Kind::Accept},
                    {KillStep::Kind::Read, kHelloFrame.size()},
                    {KillStep::Kind::Write, 0, kAcceptFrame + joined_frames(whole) + partial}});
  ASSERT_TRUE(agent) << agent.error();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (const Bytes& payload : whole) EXPECT_TRUE(NextFrameIs(*host, payload));
  ASSERT_TRUE(agent->wait_until_done(kEndsPromptly));
  std::this_thread::sleep_for(draw_ms(30));
  agent->kill();
  EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), kAgentClosed));
  EXPECT_TRUE(NoMoreOutput(*host));
  EXPECT_EQ(agent->received(), kHelloFrame);
}

// Killed with a large frame from the extension half read.
void AgentKilled::mid_frame_to_agent() {
  const Bytes big = frame(random_frames(1, 1)[0] + Bytes(4 * 1024 * 1024, 'x'));
  std::size_t read = draw(1, big.size() - 1);
  auto agent = start_killed({{KillStep::Kind::Accept},
                             {KillStep::Kind::Read, kHelloFrame.size()},
                             {KillStep::Kind::Write, 0, kAcceptFrame},
                             {KillStep::Kind::Read, read}});
  ASSERT_TRUE(agent) << agent.error();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  ASSERT_TRUE(Succeeded(host->write(big)));
  ASSERT_TRUE(agent->wait_until_done(kEndsPromptly));
  std::this_thread::sleep_for(draw_ms(30));
  agent->kill();
  EndsQuietlyOrReportsTheAgentGone(*host);
  EXPECT_TRUE(NoMoreOutput(*host));
  EXPECT_EQ(agent->received(), (kHelloFrame + big).substr(0, kHelloFrame.size() + read));
}

TEST_P(AgentKilled, HostEndsAsTheLinkStoodAndNothingFalseReachesEitherSide) {
  SCOPED_TRACE(seed_note());
  for (int i = 0; i < iterations() && !HasFailure(); ++i) {
    SCOPED_TRACE("iteration " + std::to_string(i));
    switch (GetParam().phase) {
      case Phase::Connecting:
        connecting();
        break;
      case Phase::Handshake:
        handshake();
        break;
      case Phase::Relay:
        relay();
        break;
      case Phase::MidFrameToExtension:
        mid_frame_to_extension();
        break;
      case Phase::MidFrameToAgent:
        mid_frame_to_agent();
        break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Agent, AgentKilled,
    testing::Values(KillCase{"while_connecting", Phase::Connecting},
                    KillCase{"in_the_handshake", Phase::Handshake},
                    KillCase{"while_relaying", Phase::Relay},
                    KillCase{"inside_a_frame_to_the_extension", Phase::MidFrameToExtension},
                    KillCase{"inside_a_frame_to_the_agent", Phase::MidFrameToAgent}),
    NameOfRow{});

// ---- The extension's input cut ---------------------------------------------------------------

struct CutCase {
  const char* name;
  bool after_link;
};

void PrintTo(const CutCase& row, std::ostream* out) {
  *out << row.name;
}

class InputCut : public FaultTest, public testing::WithParamInterface<CutCase> {};

TEST_P(InputCut, EndsQuietlyAndTheAgentGetsOnlyWholeFramesSentBeforeTheCut) {
  SCOPED_TRACE(seed_note());
  for (int i = 0; i < iterations() && !HasFailure(); ++i) {
    SCOPED_TRACE("iteration " + std::to_string(i));
    ASSERT_TRUE(StartAgent({listening()}));
    auto host = start();
    ASSERT_TRUE(host) << host.error();
    if (GetParam().after_link) {
      ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
    }
    const std::vector<Bytes> sent = random_frames(6, 100'000);
    const Bytes stream = joined_frames(sent);
    const std::size_t cut = draw(0, stream.size());
    ASSERT_TRUE(Succeeded(host->write(std::string_view(stream).substr(0, cut))));
    host->close_stdin();
    EXPECT_TRUE(EndsQuietly(*host));
    // Only the notice, perhaps cut short itself by the quiet end.
    ExtensionSaw saw = drain_output(*host);
    Bytes output = joined_frames(saw.frames) + saw.rest;
    if (GetParam().after_link) output = frame(kLinkedNotice) + output;
    EXPECT_TRUE(IsPrefix(output, frame(kLinkedNotice), "the extension received"));
    auto connections = agent().connections();
    if (!connections.empty()) {
      std::vector<Bytes> got = connections[0].frames;
      EXPECT_TRUE(
          IsPrefix(joined_frames(got), kHelloFrame + stream.substr(0, cut), "the agent received"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Extension, InputCut,
                         testing::Values(CutCase{"from_the_start", false},
                                         CutCase{"after_the_link", true}),
                         NameOfRow{});

// ---- The browser closing the host's output --------------------------------------------------

testing::AssertionResult IsBrokenPipeLine(std::string_view written, bool under_wine) {
  if (IsOsErrorLine(written, under_wine, {kBrokenPipe})) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "error stream: " << testing::PrintToString(std::string(written));
}

using OutputClosed = FaultTest;

TEST_F(OutputClosed, BeforeTheLinkedNoticeEndsWithTheSystemsErrorAndTheAgentHadOnlyTheHello) {
  ASSERT_TRUE(StartAgent({listening()}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  host->close_stdout();
  ASSERT_TRUE(Succeeded(host->write_frame("not for the agent")));
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
  EXPECT_TRUE(IsBrokenPipeLine(host->error_output(), under_wine()));
  EXPECT_TRUE(agent().wait_for_peer_close(0, kEndsPromptly));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
}

TEST_F(OutputClosed, BeforeTheLaunchReplyEndsWithTheSystemsError) {
  ASSERT_TRUE(StartAgent());  // the probe finds it, so nothing is started
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  host->close_stdout();
  ASSERT_TRUE(Succeeded(host->write_frame(R"({"op":"launch"})")));
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
  EXPECT_TRUE(IsBrokenPipeLine(host->error_output(), under_wine()));
}

// ---- An agent that never reads ---------------------------------------------------------------

struct StallCase {
  const char* name;
  bool replies;  // accepts the hello first, then reads no more
};

void PrintTo(const StallCase& row, std::ostream* out) {
  *out << row.name;
}

class AgentNeverReads : public FaultTest, public testing::WithParamInterface<StallCase> {};

TEST_P(AgentNeverReads, InputEndingStillEndsTheHostQuicklyWithStatusZero) {
  auto link = StartWithBareAgent();
  ASSERT_TRUE(link) << link.error();
  HostProcess* host = &link->host;
  if (GetParam().replies) {
    ASSERT_EQ(receive_frame(link->connection.get(), Deadline(kEndsPromptly)), Bytes(kHello));
    ASSERT_TRUE(send_all(link->connection.get(), kAcceptFrame));
    ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  }
  // Far more than the connection holds: the forwarder is stuck in a write by now.
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(Succeeded(host->write_frame(Bytes(4 << 20, 'w'))));
  }
  EXPECT_TRUE(StaysAlive(*host, 200ms));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(Agent, AgentNeverReads,
                         testing::Values(StallCase{"nor_replies", false},
                                         StallCase{"after_its_reply", true}),
                         NameOfRow{});

// ---- An agent that falls behind, and one that refuses while the extension sends -------------

constexpr std::size_t kMiB = 1 << 20;

// Reads what the host sends at about 30 MB/s until stopped or the connection ends.
std::jthread read_slowly(int fd) {
  return std::jthread([fd](const std::stop_token& stop) {
    std::vector<char> buffer(64 * 1024);
    while (!stop.stop_requested() && ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) != 0) {
      std::this_thread::sleep_for(2ms);
    }
  });
}

// Nothing waits behind the agent: a backlog far larger than it takes in that second is dropped
// at the end of input, which ends the host at once.
TEST_F(FaultTest, InputEndEndsTheHostAtOnceBehindABacklogThatTheAgentReadsSlowly) {
  auto link = StartLinkedWithBareAgent();
  ASSERT_TRUE(link) << link.error();
  for (int i = 0; i < 150; ++i) ASSERT_TRUE(Succeeded(link->host.write_frame(Bytes(kMiB, 'b'))));
  std::jthread agent = read_slowly(link->connection.get());
  std::this_thread::sleep_for(500ms);  // buffers come back at the agent's pace by now
  ASSERT_TRUE(Succeeded(link->host.write_frame(Bytes(100'000, 'e'))));
  auto closed = Clock::now();
  link->host.close_stdin();
  EXPECT_TRUE(EndsQuietly(link->host));
  // An instrumented host takes longer to tear its shadow memory down once it has ended.
  EXPECT_LT(Clock::now() - closed, (kInstrumented ? 4s : 1s) + host_setup().startup_allowance());
}

// The refusal decides the end although the reader, still queueing the extension's frames, meets
// the queue closed right after it: a failure never ends with status 0.
TEST_F(FaultTest, RefusalWhileTheExtensionSendsEndsWithTheRefusal) {
  for (int i = 0; i < iterations() * 2 && !HasFailure(); ++i) {
    auto link = StartWithBareAgent();
    ASSERT_TRUE(link) << link.error();
    ASSERT_EQ(receive_frame(link->connection.get(), Deadline(kEndsPromptly)), Bytes(kHello));
    HostProcess& host = link->host;
    std::jthread extension([&host](const std::stop_token& stop) {
      while (!stop.stop_requested() && host.write_frame(Bytes(kMiB, 's'), 5s)) {
      }
    });
    std::this_thread::sleep_for(draw_ms(300));
    ASSERT_TRUE(send_all(link->connection.get(), frame(R"({"ok":false})")));
    EXPECT_TRUE(
        EndsWith(host, ExitStatus::exited(1), "velmora-web-host: agent refused the connection\n"));
  }
}

// ---- The bridge file torn by an agent rewriting it -------------------------------------------

// Rewrites the file in place, over and over, each time in two writes with a pause between:
// readers see it empty, cut anywhere, or whole; whole, it names either the live agent or a port
// on which nothing listens, with another token.
class Rewriter {
 public:
  Rewriter(std::filesystem::path path, std::vector<Bytes> contents, std::uint64_t seed)
      : thread_([this, path = std::move(path), contents = std::move(contents),
                 seed](std::stop_token stop) { run(path, contents, seed, stop); }) {}
  std::uint64_t rewrites() const { return rewrites_; }

 private:
  void run(const std::filesystem::path& path, const std::vector<Bytes>& contents,
           std::uint64_t seed, const std::stop_token& stop) {
    std::mt19937_64 rng(seed);
    while (!stop.stop_requested()) {
      const Bytes& text = contents[rewrites_ % contents.size()];
      std::size_t split = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
      UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      if (!fd) continue;
      (void)!::write(fd.get(), text.data(), split);
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
      (void)!::write(fd.get(), text.data() + split, text.size() - split);
      fd.reset();
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
      ++rewrites_;
    }
  }

  std::atomic<std::uint64_t> rewrites_ = 0;
  std::jthread thread_;
};

using TornBridgeFile = FaultTest;

TEST_F(TornBridgeFile, HostLinksWithTheLiveAgentsTokenInTheEnd) {
  SCOPED_TRACE(seed_note());
  for (int i = 0; i < iterations() / 2 && !HasFailure(); ++i) {
    ASSERT_TRUE(StartAgent({listening()}, std::nullopt));
    std::uint16_t stale_port = 0;
    {
      auto gone = listen_on_loopback(stale_port);
      ASSERT_TRUE(gone) << gone.error();
    }
    std::filesystem::path file = bridge_file_path(roaming());
    std::filesystem::create_directories(file.parent_path());
    const Bytes live = bridge_json(agent().port(), kToken);
    const Bytes stale = bridge_json(stale_port, "stale-token");
    auto host = start();
    ASSERT_TRUE(host) << host.error();
    {
      Rewriter rewriter(file, {live, stale}, rng_());
      EXPECT_TRUE(agent().wait_for_connections(1, 15s));
      EXPECT_GT(rewriter.rewrites(), 10u);
    }
    EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
    EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
    host->close_stdin();
    EXPECT_TRUE(EndsQuietly(*host));
  }
}

}  // namespace
}  // namespace velmora::blackbox
