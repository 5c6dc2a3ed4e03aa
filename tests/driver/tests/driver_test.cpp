// Checks of the driver itself, against ordinary programs and a plain socket client, so that a
// failing black-box case points at the host rather than at its tools.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "fd_io.h"
#include "host_process.h"
#include "host_setup.h"
#include "secrets.h"
#include "temp_dir.h"
#include "test_agent.h"
#include "traffic.h"

namespace velmora::driver {
namespace {

using namespace std::chrono_literals;

constexpr Duration kBound = 5s;

Command shell(const char* script) {
  return Command{{"/bin/sh", "-c", script}, {}};
}

TEST(HostProcessTest, FramesGoInAndComeOutWhole) {
  auto cat = HostProcess::start(Command{{"/bin/cat"}, {}});
  ASSERT_TRUE(cat) << cat.error();
  ASSERT_TRUE(cat->write_frame("hello").has_value());
  ASSERT_TRUE(cat->write(length_prefix(3) + "a").has_value());
  EXPECT_EQ(cat->read_frame(kBound), Bytes("hello"));
  EXPECT_EQ(cat->read_frame(200ms).error(), ReadError::TimedOut);
  ASSERT_TRUE(cat->write("bc").has_value());
  EXPECT_EQ(cat->read_frame(kBound), Bytes("abc"));
  cat->close_stdin();
  EXPECT_EQ(cat->read_frame(kBound).error(), ReadError::EndOfStream);
  EXPECT_EQ(cat->wait(kBound), ExitStatus::exited(0));
}

TEST(HostProcessTest, OversizedFrameIsRefusedUnread) {
  auto cat = HostProcess::start(Command{{"/bin/cat"}, {}});
  ASSERT_TRUE(cat) << cat.error();
  ASSERT_TRUE(cat->write(length_prefix(MAX_FRAME_LEN + 1)).has_value());
  EXPECT_EQ(cat->read_frame(kBound).error(), ReadError::BadLength);
}

TEST(HostProcessTest, StdinModesReachTheChild) {
  auto ended = HostProcess::start(Command{{"/bin/cat"}, {}}, StdinMode::Ended);
  ASSERT_TRUE(ended) << ended.error();
  EXPECT_EQ(ended->wait(kBound), ExitStatus::exited(0));

  auto absent =
      HostProcess::start(shell("exec 2>&1; exec 3<&0 && echo open >&2"), StdinMode::Absent);
  ASSERT_TRUE(absent) << absent.error();
  auto status = absent->wait(kBound);
  ASSERT_TRUE(status) << status.error();
  EXPECT_NE(*status, ExitStatus::exited(0)) << "descriptor 0 was open";
}

TEST(HostProcessTest, ErrorStreamAndEnvironmentChangesAreSeen) {
  Command command = shell(R"(printf '%s|%s' "$VB_SET" "${VB_GONE-unset}" >&2; exit 3)");
  command.env = {{"VB_SET", "one"}, {"VB_GONE", "x"}};
  auto child = HostProcess::start(command, StdinMode::Pipe, {{"VB_GONE", std::nullopt}});
  ASSERT_TRUE(child) << child.error();
  EXPECT_EQ(child->wait(kBound), ExitStatus::exited(3));
  EXPECT_EQ(child->error_output(), "one|unset");
}

TEST(HostProcessTest, ChildStartsInItsFolderWithSigpipeAtDefault) {
  auto tmp = TempDir::create();
  ASSERT_TRUE(tmp) << tmp.error();
  // `trap` lists ignored signals too; an inherited SIG_IGN would show as a PIPE entry.
  Command command = shell("pwd -P; trap");
  command.cwd = tmp->path();
  auto child = HostProcess::start(command);
  ASSERT_TRUE(child) << child.error();
  EXPECT_EQ(child->wait(kBound), ExitStatus::exited(0));
  EXPECT_EQ(child->unread_output(), std::filesystem::canonical(tmp->path()).string() + "\n");
}

TEST(HostProcessTest, UnreadOutputKeepsAPartialFrameAndClosedOutputBreaksThePipe) {
  auto child = HostProcess::start(shell(R"(printf 'ab'; read line; printf 'c' || exit 7)"));
  ASSERT_TRUE(child) << child.error();
  EXPECT_EQ(child->read_frame(200ms).error(), ReadError::TimedOut);
  EXPECT_EQ(child->unread_output(), "ab");
  child->close_stdout();
  ASSERT_TRUE(child->write("go\n").has_value());
  EXPECT_EQ(child->wait(kBound), (ExitStatus{ExitStatus::Kind::Signalled, SIGPIPE}));
  EXPECT_EQ(child->unread_output(), "");
}

TEST(HostProcessTest, InheritedDescriptorsReachTheChildFromThreeOn) {
  auto first = make_pipe();
  auto second = make_pipe();
  ASSERT_TRUE(first && second);
  Command command = shell("printf 3 >&3; printf 4 >&4");
  command.inherited = {first->write.get(), second->write.get()};
  auto child = HostProcess::start(command);
  ASSERT_TRUE(child) << child.error();
  EXPECT_EQ(child->wait(kBound), ExitStatus::exited(0));
  for (auto [pipe, expected] : {std::pair{&*first, "3"}, std::pair{&*second, "4"}}) {
    pipe->write.reset();
    ASSERT_TRUE(set_nonblocking(pipe->read.get()).has_value());
    Bytes got;
    read_available(pipe->read.get(), got);
    EXPECT_EQ(got, expected);
  }
}

TEST(HostProcessTest, ChildOutlivingTheBoundIsKilled) {
  auto sleeper = HostProcess::start(Command{{"/bin/sleep", "30"}, {}});
  ASSERT_TRUE(sleeper) << sleeper.error();
  EXPECT_FALSE(sleeper->exit_within(100ms).has_value());
  auto started = Clock::now();
  EXPECT_FALSE(sleeper->wait(200ms).has_value());
  EXPECT_LT(Clock::now() - started, kBound);
}

TEST(HostProcessTest, MissingProgramIsAnError) {
  EXPECT_FALSE(HostProcess::start(Command{{"/nonexistent/velmora"}, {}}).has_value());
}

TEST(HostSetupTest, ArgumentsChooseThePlatform) {
  std::vector<std::string> linux_args{"--host=/b/host"};
  std::vector<std::string> wine_args{"--host=/b/host.exe", "--wine-loader=/w/wine64",
                                     "--wine-prefix=/p", "--probe=/b/probe.exe"};
  auto parse = [](std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return HostSetup::from_args(argv);
  };
  auto native = parse(linux_args);
  ASSERT_TRUE(native) << native.error();
  EXPECT_EQ(native->platform, HostPlatform::Linux);
  EXPECT_EQ(native->command("/r").argv, std::vector<std::string>{"/b/host"});
  auto wine = parse(wine_args);
  ASSERT_TRUE(wine) << wine.error();
  EXPECT_EQ(wine->platform, HostPlatform::Wine);
  EXPECT_EQ(wine->command("/r").argv, (std::vector<std::string>{"/w/wine64", "/b/host.exe"}));
  EXPECT_EQ(wine->probe, "/b/probe.exe");
  EXPECT_EQ(wine->relocated("/c/host.exe").command("/r").argv,
            (std::vector<std::string>{"/w/wine64", "/c/host.exe"}));
  EXPECT_EQ(wine->agent_file_name(), "velmora-agent.exe");
  EXPECT_EQ(native->agent_file_name(), "velmora-agent");
  EXPECT_EQ(wine->native_path("/tmp/r"), R"(Z:\tmp\r)");
  EXPECT_EQ(native->native_path("/tmp/r"), "/tmp/r");
  std::vector<std::string> half{"--host=/h", "--wine-loader=/w"};
  EXPECT_FALSE(parse(half).has_value());
  EXPECT_EQ(wine_path("/tmp/a/roaming"), R"(Z:\tmp\a\roaming)");
}

// A client of the agent, as the host would be, with every read and write bounded.
class Client {
 public:
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 set_nonblocking(fd_.get()).has_value();
  }
  bool connected() const { return connected_; }
  bool send(std::string_view bytes) {
    return write_all(fd_.get(), bytes, Deadline(kBound)).has_value();
  }
  std::expected<Bytes, ReadError> receive(Duration limit = kBound) {
    return frames_.read(fd_.get(), Deadline(limit));
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  FrameReader frames_;
  bool connected_ = false;
};

TEST(TestAgentTest, RepliesToTheHelloThenEchoesAndRecords) {
  auto agent = TestAgent::start();
  ASSERT_TRUE(agent) << agent.error();
  Client client(agent->port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(frame("hello") + frame("one")));
  EXPECT_EQ(client.receive(), Bytes(R"({"ok":true})"));
  EXPECT_EQ(client.receive(), Bytes("one"));
  ASSERT_TRUE(client.send(frame("two")));
  EXPECT_EQ(client.receive(), Bytes("two"));
  ASSERT_TRUE(agent->wait_for_frames(0, 3, kBound));
  EXPECT_EQ(agent->connections()[0].frames, (std::vector<Bytes>{"hello", "one", "two"}));
  client.close();
  EXPECT_TRUE(agent->wait_for_peer_close(0, kBound));
}

TEST(TestAgentTest, ScriptsApplyPerConnectionAndTheLastRepeats) {
  AgentScript close_after_hello{.first = AgentScript::First::Close};
  AgentScript send_then_close{.reply = frame("r"),
                              .send_after_reply = frame("a") + frame("b"),
                              .then = AgentScript::Then::Close};
  AgentScript silent{.first = AgentScript::First::Ignore};
  AgentScript on_accept{.first = AgentScript::First::CloseOnAccept};
  auto agent = TestAgent::start({close_after_hello, send_then_close, silent, on_accept});
  ASSERT_TRUE(agent) << agent.error();

  Client first(agent->port());
  ASSERT_TRUE(first.send(frame("hello") + frame("more")));
  EXPECT_EQ(first.receive().error(), ReadError::EndOfStream);

  Client second(agent->port());
  ASSERT_TRUE(second.send(frame("hello")));
  EXPECT_EQ(second.receive(), Bytes("r"));
  EXPECT_EQ(second.receive(), Bytes("a"));
  EXPECT_EQ(second.receive(), Bytes("b"));
  EXPECT_EQ(second.receive().error(), ReadError::EndOfStream);

  Client third(agent->port());
  ASSERT_TRUE(third.send(frame("hello") + frame("x")));
  EXPECT_EQ(third.receive(300ms).error(), ReadError::TimedOut);

  for (int i = 0; i < 2; ++i) {
    Client late(agent->port());
    EXPECT_EQ(late.receive().error(), ReadError::EndOfStream);
  }
  ASSERT_TRUE(agent->wait_for_frames(2, 2, kBound));
  auto connections = agent->connections();
  ASSERT_EQ(connections.size(), 5u);
  EXPECT_EQ(connections[0].frames, (std::vector<Bytes>{"hello", "more"}));
  EXPECT_TRUE(connections[0].agent_closed);
  EXPECT_FALSE(connections[2].agent_closed);
  EXPECT_TRUE(connections[4].agent_closed);
}

TEST(TestAgentTest, BadLengthIsRecordedAndEndsTheConnection) {
  auto agent = TestAgent::start();
  ASSERT_TRUE(agent) << agent.error();
  Client client(agent->port());
  ASSERT_TRUE(client.send(length_prefix(0)));
  EXPECT_EQ(client.receive().error(), ReadError::EndOfStream);
  EXPECT_TRUE(agent->connections()[0].bad_length);
}

TEST(TestAgentTest, PublishesItsPortAndTokenInTheBridgeFile) {
  auto tmp = TempDir::create();
  ASSERT_TRUE(tmp) << tmp.error();
  auto agent = TestAgent::start();
  ASSERT_TRUE(agent) << agent.error();
  ASSERT_TRUE(agent->publish(tmp->path(), "a\"b\\c\n").has_value());
  std::ifstream file(tmp->path() / "VelmoraAgent" / "web-bridge.json", std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str(),
            R"({"port":)" + std::to_string(agent->port()) + R"(,"token":"a\"b\\c\u000a"})");
}

// A stream of the stress relay, as a far end receives it after one fault on the way.
struct TrafficFaultCase {
  const char* name;
  void (*fault)(std::vector<Bytes>& frames);
};

void PrintTo(const TrafficFaultCase& row, std::ostream* out) {
  *out << row.name;
}

class TrafficFault : public testing::TestWithParam<TrafficFaultCase> {};

// Frames 0 to 9 of a stream: frame 3 is the largest frame, and small ones come early.
std::vector<Bytes> first_frames(std::uint64_t seed) {
  FrameSource source(seed);
  std::vector<Bytes> frames;
  for (int i = 0; i < 10; ++i) frames.push_back(source.next());
  return frames;
}

TEST_P(TrafficFault, IsCaughtWhereTheUnfaultedStreamPasses) {
  constexpr std::uint64_t kSeed = 7;
  std::vector<Bytes> frames = first_frames(kSeed);
  FrameCheck clean(kSeed);
  for (const Bytes& payload : frames) ASSERT_EQ(clean.take(payload), std::nullopt);
  EXPECT_EQ(clean.count().largest, 1u);

  GetParam().fault(frames);
  FrameCheck check(kSeed);
  bool caught = false;
  for (const Bytes& payload : frames) caught = caught || check.take(payload).has_value();
  // A fault at the end shows as a frame missing when the counts are compared.
  EXPECT_TRUE(caught || check.count().frames != clean.count().frames);
}

std::size_t smallest(const std::vector<Bytes>& frames) {
  return static_cast<std::size_t>(std::ranges::min_element(frames, {}, &Bytes::size) -
                                  frames.begin());
}

INSTANTIATE_TEST_SUITE_P(
    Driver, TrafficFault,
    testing::Values(
        TrafficFaultCase{"lost", [](auto& f) { f.erase(f.begin() + 4); }},
        TrafficFaultCase{"lost_last", [](auto& f) { f.pop_back(); }},
        TrafficFaultCase{"repeated", [](auto& f) { f.insert(f.begin() + 5, f[4]); }},
        TrafficFaultCase{"reordered", [](auto& f) { std::swap(f[5], f[6]); }},
        TrafficFaultCase{"bit_flipped_in_the_largest", [](auto& f) { f[3][9'000'000] ^= 0x10; }},
        TrafficFaultCase{"bit_flipped_in_the_smallest", [](auto& f) { f[smallest(f)][0] ^= 1; }},
        TrafficFaultCase{"cut_short", [](auto& f) { f[3].pop_back(); }},
        TrafficFaultCase{"sequence_number_changed", [](auto& f) { f[3][0] ^= 1; }}),
    [](const testing::TestParamInfo<TrafficFaultCase>& row) {
      return std::string(row.param.name);
    });

TEST(SecretScanTest, FindsATokenInOneChunkAndAcrossTwo) {
  take_secret_sightings();
  forget_secrets();
  note_secret("s3cr3t-token");
  SecretScan whole("out");
  whole.scan("before s3cr3t-token after");
  SecretScan split("err");
  split.scan("...s3cr3");
  split.scan("t-tok");
  split.scan("en...");
  SecretScan clean("out");
  clean.scan("s3cr3t-toke");
  clean.scan("-n");
  forget_secrets();
  auto sightings = take_secret_sightings();
  ASSERT_EQ(sightings.size(), 2u) << testing::PrintToString(sightings);
  EXPECT_NE(sightings[0].find("out"), std::string::npos);
  EXPECT_NE(sightings[1].find("err"), std::string::npos);
}

}  // namespace
}  // namespace velmora::driver
