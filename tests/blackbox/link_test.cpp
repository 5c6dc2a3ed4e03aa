// The link with the agent: the hello the agent receives, the agent's verdict, the notice the
// extension receives, and finding the agent through the bridge file.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "agent_fixture.h"

namespace velmora::blackbox {
namespace {

using namespace std::chrono_literals;

struct HelloCase {
  const char* name;
  Bytes token;  // as published in the bridge file
  Bytes hello;  // what the agent must receive, byte for byte
  // Many hosts link in turn, a few at once so that other connections come and go while each
  // asks who listens: each is one connection to the agent, the hello first on it.
  bool many_links = false;
};

void PrintTo(const HelloCase& row, std::ostream* out) {
  *out << row.name;
}

// VELMORA_LINKS sets how many; Wine runs fewer, since each pays a Wine start, and so does an
// instrumented build (VELMORA_DEFAULT_LINKS), whose host starts many times slower.
std::size_t many_links() {
  const char* text = std::getenv("VELMORA_LINKS");
  return text == nullptr || *text == '\0' ? VELMORA_DEFAULT_LINKS : std::strtoul(text, nullptr, 10);
}
constexpr std::size_t kHostsAtOnce = 4;
// Sent at once, so that the host links without its wait for a first message.
constexpr std::string_view kFirst = R"({"seq":1})";

class Hello : public AgentTestWithParam<HelloCase> {};

TEST_P(Hello, CarriesTheTokenAsAJsonStringThenTheExtensionIsToldItIsLinked) {
  const HelloCase& row = GetParam();
  ASSERT_TRUE(StartAgent({{}}, row.token));  // echoes every frame after the hello
  const std::size_t links = row.many_links ? many_links() : 1;
  // One host, from its start to its quiet end.
  auto link = [&]() -> testing::AssertionResult {
    auto host = start();
    if (!host) return testing::AssertionFailure() << host.error();
    if (row.many_links) {
      if (auto sent = Succeeded(host->write_frame(kFirst)); !sent) return sent;
    }
    // Read as a frame: the payload is exactly these 15 bytes, so the prefix was 0F 00 00 00.
    if (auto linked = NextFrameIs(*host, kLinkedNotice); !linked) return linked;
    if (row.many_links) {
      if (auto echoed = NextFrameIs(*host, kFirst); !echoed) return echoed;
    }
    host->close_stdin();
    if (auto ended = EndsQuietly(*host); !ended) return ended;
    return NoMoreOutput(*host);
  };
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> failed = false;
  {
    std::vector<std::jthread> hosts;
    for (std::size_t i = 0; i < std::min(links, kHostsAtOnce); ++i) {
      hosts.emplace_back([&] {
        while (!failed && next++ < links) {
          if (auto linked = link(); !linked) {
            failed = true;
            ADD_FAILURE() << linked.message();
          }
        }
      });
    }
  }
  std::vector<Bytes> received{row.hello};
  if (row.many_links) received.emplace_back(kFirst);
  if (!failed) {
    EXPECT_TRUE(EachConnectionReceived(agent(), links, received));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Agent, Hello,
    testing::Values(HelloCase{"escaped_token",
                              "q\"b\\l\nc\x01"
                              "\xC3\xA9/s",
                              R"({"op":"hello","token":"q\"b\\l\nc\u0001é/s"})"},
                    HelloCase{
                        "other_control_bytes",
                        "\b\t\f\r\x1f\x7f"
                        "\xE2\x80\xA8",
                        "{\"op\":\"hello\",\"token\":\"\\b\\t\\f\\r\\u001f\x7f\xE2\x80\xA8\"}"},
                    // 25 bytes: the member is there even when the token is empty.
                    HelloCase{"empty_token", "", R"({"op":"hello","token":""})"},
                    HelloCase{"plain_token", Bytes(kToken), Bytes(kHello)},
                    HelloCase{"many_links", Bytes(kToken), Bytes(kHello), true}),
    NameOfRow{});

struct AcceptCase {
  const char* name;
  Bytes reply;  // a payload whose "ok" is true in the end
};

void PrintTo(const AcceptCase& row, std::ostream* out) {
  *out << row.name;
}

class Accepted : public AgentTestWithParam<AcceptCase> {};

TEST_P(Accepted, ExtensionGetsTheLinkedNoticeFirst) {
  ASSERT_TRUE(StartAgent({{.reply = frame(GetParam().reply), .then = AgentScript::Then::Listen}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  EXPECT_TRUE(StaysAlive(*host, 200ms));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(
    Agent, Accepted,
    testing::Values(AcceptCase{"ok_true", R"({"ok":true})"},
                    AcceptCase{"further_members", R"({"ok":true,"agent":"x","n":[1,{}]})"},
                    AcceptCase{"surrounded_by_whitespace", " \t\r\n{ \"ok\" : true }\r\n"},
                    AcceptCase{"last_ok_wins", R"({"ok":false,"ok":true})"}),
    NameOfRow{});

constexpr std::string_view kRefused = "velmora-web-host: agent refused the connection\n";
constexpr std::string_view kAgentClosed = "velmora-web-host: failed to fill whole buffer\n";
constexpr std::string_view kBadLength = "velmora-web-host: bad frame length\n";

struct FailureCase {
  const char* name;
  AgentScript script;
  std::string_view error_line;
};

void PrintTo(const FailureCase& row, std::ostream* out) {
  *out << row.name;
}

AgentScript replying(Bytes raw_reply) {
  return {.reply = std::move(raw_reply), .then = AgentScript::Then::Listen};
}

class LinkFailure : public AgentTestWithParam<FailureCase> {};

TEST_P(LinkFailure, EndsWithOneLineAndStatusOneAndTheExtensionGetsNothing) {
  const FailureCase& row = GetParam();
  ASSERT_TRUE(StartAgent({row.script}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), row.error_line));
  EXPECT_TRUE(NoMoreOutput(*host));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
}

INSTANTIATE_TEST_SUITE_P(
    Agent, LinkFailure,
    testing::Values(
        FailureCase{"ok_false", replying(frame(R"({"ok":false})")), kRefused},
        FailureCase{"ok_one", replying(frame(R"({"ok":1})")), kRefused},
        FailureCase{"ok_string_true", replying(frame(R"({"ok":"true"})")), kRefused},
        FailureCase{"ok_null", replying(frame(R"({"ok":null})")), kRefused},
        FailureCase{"empty_object", replying(frame("{}")), kRefused},
        FailureCase{"array_holding_true", replying(frame("[true]")), kRefused},
        FailureCase{"bare_true", replying(frame("true")), kRefused},
        FailureCase{"last_ok_is_false", replying(frame(R"({"ok":true,"ok":false})")), kRefused},
        FailureCase{"trailing_characters", replying(frame(R"({"ok":true} x)")),
                    "velmora-web-host: trailing characters at line 1 column 13\n"},
        FailureCase{"trailing_nul", replying(frame(std::string_view("{\"ok\":true}\0junk", 16))),
                    "velmora-web-host: trailing characters at line 1 column 12\n"},
        FailureCase{"closed_after_the_hello", {.first = AgentScript::First::Close}, kAgentClosed},
        FailureCase{"closed_inside_the_reply",
                    {.reply = length_prefix(11) + R"({"ok")", .then = AgentScript::Then::Close},
                    kAgentClosed},
        FailureCase{"zero_length_reply", replying(length_prefix(0)), kBadLength},
        FailureCase{"reply_above_largest_frame", replying(length_prefix(MAX_FRAME_LEN + 1)),
                    kBadLength}),
    NameOfRow{});

using LinkTest = AgentTest;

TEST_F(LinkTest, SilentAgentKeepsTheHostWaitingWithoutTellingTheExtension) {
  ASSERT_TRUE(StartAgent({{.first = AgentScript::First::Ignore}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
  EXPECT_TRUE(StaysAlive(*host, kIdle));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
  EXPECT_TRUE(NoMoreOutput(*host));
}

TEST_F(LinkTest, BridgeFileWrittenLateIsFoundAndFramesQueuedMeanwhileFollowTheHello) {
  ASSERT_TRUE(StartAgent({listening()}, std::nullopt));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  // The host is retrying by now: its wait for a first message is long over.
  ASSERT_TRUE(StaysAlive(*host, std::chrono::seconds(1) + host_setup().startup_allowance()));
  ASSERT_TRUE(Succeeded(host->write(frame("one") + frame("two"))));
  ASSERT_TRUE(Succeeded(agent().publish(roaming(), kToken)));
  EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), "one", "two"}));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

// The refusal's line stuck in a full error stream that nobody reads: the end of input still
// ends the host, with the status of the failure it was reporting.
TEST_F(LinkTest, InputEndEndsTheHostWhoseErrorLineIsStuck) {
  ASSERT_TRUE(StartAgent({replying(frame(R"({"ok":false})"))}));
  Command command = host_setup().command(roaming());
  command.error_stream_stuck = true;
  auto host = HostProcess::start(command);
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello)}));
  ASSERT_TRUE(StaysAlive(*host, kIdle));
  host->close_stdin();
  EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(1)));
}

// The connector's deadline is 8 s from the end of the 300 ms wait for a first message.
constexpr Duration kGivesUpNotBefore = 7500ms;
constexpr Duration kGivesUpBefore = 15s;

struct NoAgentCase {
  const char* name;
  std::optional<bool> odd_bridge_file;  // a FIFO (true) or a device (false) in its place
};

void PrintTo(const NoAgentCase& row, std::ostream* out) {
  *out << row.name;
}

class NoAgent : public AgentTestWithParam<NoAgentCase> {};

// A bridge file that is no regular file is one that cannot be read: retried, never waited on.
TEST_P(NoAgent, GivesUpAfterAboutEightSeconds) {
  if (auto odd = GetParam().odd_bridge_file) {
    ASSERT_TRUE(OddBridgeFile(bridge_file_path(roaming()), *odd));
  }
  auto started = Clock::now();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1),
                       "velmora-web-host: the browser extension is not connected\n",
                       kGivesUpBefore));
  auto elapsed = std::chrono::duration_cast<Duration>(Clock::now() - started);
  EXPECT_GE(elapsed, kGivesUpNotBefore);
  EXPECT_LT(elapsed, kGivesUpBefore);
  EXPECT_TRUE(NoMoreOutput(*host));
}

INSTANTIATE_TEST_SUITE_P(Agent, NoAgent,
                         testing::Values(NoAgentCase{"no_bridge_file", std::nullopt},
                                         NoAgentCase{"bridge_file_a_fifo", true},
                                         NoAgentCase{"bridge_file_a_device", false}),
                         NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
