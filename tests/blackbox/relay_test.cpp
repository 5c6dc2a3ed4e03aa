// The relay once linked: frames pass both ways byte for byte and in order, and each way the
// relay can end gives its own status and error line.
#include <algorithm>
#include <thread>

#include "agent_fixture.h"
#include "process_stats.h"

namespace velmora::blackbox {
namespace {

using namespace std::chrono_literals;

struct FirstMessageCase {
  const char* name;
  Bytes first;  // not a launch request, though some come close
};

void PrintTo(const FirstMessageCase& row, std::ostream* out) {
  *out << row.name;
}

class FirstMessage : public AgentTestWithParam<FirstMessageCase> {};

TEST_P(FirstMessage, FollowsTheHelloUnchangedAndTheQueuedFramesFollowInOrder) {
  const Bytes& first = GetParam().first;
  const std::vector<Bytes> queued{R"({"seq":2})", R"({"seq":3})"};
  ASSERT_TRUE(StartAgent());  // echoes every frame after the hello
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  // All at once: the host takes the first within its wait, the others queue while it links.
  ASSERT_TRUE(Succeeded(host->write(frame(first) + frame(queued[0]) + frame(queued[1]))));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), first, queued[0], queued[1]}));
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (const Bytes& echoed : {first, queued[0], queued[1]}) {
    EXPECT_TRUE(NextFrameIs(*host, echoed));
  }
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(
    Extension, FirstMessage,
    testing::Values(FirstMessageCase{"not_json", R"({"op":"launch"}x)"},
                    FirstMessageCase{"op_in_other_letter_case", R"({"op":"Launch"})"},
                    FirstMessageCase{"op_with_a_space_added", R"({"op":"launch "})"},
                    FirstMessageCase{"json_array", R"(["launch"])"},
                    FirstMessageCase{"last_op_is_not_launch", R"({"op":"launch","op":"hello"})"}),
    NameOfRow{});

struct AgentEndCase {
  const char* name;
  Bytes after_reply;  // raw bytes the agent sends right behind its reply
  AgentScript::Then then;
  std::vector<Bytes> delivered;  // reach the extension before the host ends
  std::string_view error_line;
};

void PrintTo(const AgentEndCase& row, std::ostream* out) {
  *out << row.name;
}

class AgentSideEnd : public AgentTestWithParam<AgentEndCase> {};

TEST_P(AgentSideEnd, EarlierFramesAreDeliveredThenOneLineAndStatusOne) {
  const AgentEndCase& row = GetParam();
  ASSERT_TRUE(StartAgent({{.send_after_reply = row.after_reply, .then = row.then}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (const Bytes& payload : row.delivered) EXPECT_TRUE(NextFrameIs(*host, payload));
  EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), row.error_line));
  EXPECT_TRUE(NoMoreOutput(*host));
}

constexpr std::string_view kAgentClosed = "velmora-web-host: failed to fill whole buffer\n";
constexpr std::string_view kBadLength = "velmora-web-host: bad frame length\n";
constexpr auto kClose = AgentScript::Then::Close;
constexpr auto kListen = AgentScript::Then::Listen;

INSTANTIATE_TEST_SUITE_P(
    Agent, AgentSideEnd,
    testing::Values(
        AgentEndCase{"closed_right_after_the_reply", "", kClose, {}, kAgentClosed},
        AgentEndCase{
            "closed_between_frames", frame("a") + frame("[2]"), kClose, {"a", "[2]"}, kAgentClosed},
        AgentEndCase{"closed_inside_a_frame",
                     frame("a") + length_prefix(9) + "abc",
                     kClose,
                     {"a"},
                     kAgentClosed},
        AgentEndCase{"zero_length_frame",
                     frame("a") + frame("b") + length_prefix(0),
                     kListen,
                     {"a", "b"},
                     kBadLength},
        AgentEndCase{"frame_above_largest",
                     frame("a") + length_prefix(MAX_FRAME_LEN + 1),
                     kListen,
                     {"a"},
                     kBadLength}),
    NameOfRow{});

// O_NONBLOCK belongs to the open file description, so whoever shares the host's pipes can set
// it: a read or write that would block is then neither the end nor a failure.
struct NonBlockingCase {
  const char* name;
  bool input;
  bool output;
  bool frame_before_pause;   // else the extension is silent until after the pause
  std::size_t agent_frames;  // of kAgentFrameBytes, sent with the reply: more than the pipe holds
};

void PrintTo(const NonBlockingCase& row, std::ostream* out) {
  *out << row.name;
}

constexpr std::size_t kAgentFrameBytes = 512 * 1024;

class NonBlockingStream : public AgentTestWithParam<NonBlockingCase> {};

TEST_P(NonBlockingStream, IsWaitedForAsABlockingOneWouldBe) {
  const NonBlockingCase& row = GetParam();
  const Bytes sent(kAgentFrameBytes, 'a');
  Bytes raw;
  for (std::size_t i = 0; i < row.agent_frames; ++i) raw += frame(sent);
  ASSERT_TRUE(StartAgent({{.send_after_reply = raw, .then = AgentScript::Then::Listen}}));
  Command command = this->command();
  command.nonblocking_input = row.input;
  command.nonblocking_output = row.output;
  auto host = HostProcess::start(command);
  ASSERT_TRUE(host) << host.error();
  if (row.frame_before_pause) {
    ASSERT_TRUE(Succeeded(host->write_frame("x")));
  }
  // The extension neither writes nor reads for a while.
  EXPECT_TRUE(StaysAlive(*host, idle_span()));
  if (!row.frame_before_pause) {
    ASSERT_TRUE(Succeeded(host->write_frame("x")));
  }
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (std::size_t i = 0; i < row.agent_frames; ++i) ASSERT_TRUE(NextFrameIs(*host, sent));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), "x"}));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(
    Extension, NonBlockingStream,
    testing::Values(NonBlockingCase{"input_silent_at_first", true, false, false, 0},
                    NonBlockingCase{"input_pausing_after_a_frame", true, false, true, 0},
                    NonBlockingCase{"output_read_late", false, true, true, 32}),
    NameOfRow{});

using RelayTest = AgentTest;

// Every byte value, the pattern shifted by one every 255 * 256 bytes: a chunk that is lost,
// repeated or moved shows.
Bytes largest_payload() {
  Bytes payload(MAX_FRAME_LEN, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>((i % 255) + (i / (255 * 256)));
  }
  return payload;
}

TEST_F(RelayTest, LargestFramePassesBothWaysUnchanged) {
  ASSERT_TRUE(StartAgent());  // the echo brings it back
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  const Bytes payload = largest_payload();
  ASSERT_TRUE(Succeeded(host->write_frame(payload, 60s)));
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), payload}, 60s));
  EXPECT_TRUE(NextFrameIs(*host, payload, 60s));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

TEST_F(RelayTest, AgentFramesSentWithTheReplyReachTheExtensionInOrder) {
  const std::vector<Bytes> sent{"a", R"({"op":"linked"})", "[1,2]", "a"};
  Bytes raw;
  for (const Bytes& payload : sent) raw += frame(payload);
  ASSERT_TRUE(StartAgent({{.send_after_reply = raw, .then = AgentScript::Then::Listen}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (const Bytes& payload : sent) EXPECT_TRUE(NextFrameIs(*host, payload));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
  EXPECT_TRUE(NoMoreOutput(*host));
}

TEST_F(RelayTest, InputEndingEndsTheHostQuietlyAndTheAgentSeesItsConnectionGo) {
  ASSERT_TRUE(StartAgent({listening()}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  ASSERT_TRUE(Succeeded(host->write_frame("x")));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), "x"}));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
  EXPECT_TRUE(agent().wait_for_peer_close(0, kEndsPromptly));
}

// Answers that come at once make the host poll for the extension's next frame for a moment;
// when the exchange stops it must sleep again, as a host that never had traffic does.
TEST_F(RelayTest, HostIdleAfterAQuickExchangeTakesNoProcessorTime) {
  ASSERT_TRUE(StartAgent());  // echoes every frame
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(Succeeded(host->write_frame("0")));
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(NextFrameIs(*host, std::to_string(i)));
    ASSERT_TRUE(Succeeded(host->write_frame(std::to_string(i + 1))));
  }
  std::this_thread::sleep_for(200ms);
  const auto before = driver::scheduled_time(host->pid());
  std::this_thread::sleep_for(1s);
  EXPECT_LT(driver::scheduled_time(host->pid()) - before, 20ms);  // a spinning thread takes ~1 s
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

// The system's text and code, as the host shows an operating-system error.
testing::AssertionResult IsOsErrorLine(std::string_view written) {
  constexpr std::string_view kPrefix = "velmora-web-host: ";
  bool one_line = written.ends_with(")\n") && std::ranges::count(written, '\n') == 1 &&
                  written.find(" (os error ") != std::string_view::npos;
  if (written.starts_with(kPrefix) && one_line) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "not one line with an OS error: " << testing::PrintToString(std::string(written));
}

TEST_F(RelayTest, ClosedStandardOutputEndsTheHostWithTheSystemsError) {
  ASSERT_TRUE(StartAgent());  // echoes the frame that the host then cannot deliver
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  host->close_stdout();
  ASSERT_TRUE(Succeeded(host->write_frame("ping")));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), "ping"}));
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
  if (under_wine()) {
    EXPECT_TRUE(IsOsErrorLine(host->error_output()));
  } else {
    EXPECT_EQ(host->error_output(), "velmora-web-host: Broken pipe (os error 32)\n");
  }
}

}  // namespace
}  // namespace velmora::blackbox
