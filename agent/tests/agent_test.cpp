// agent/tests/: the sample agent's unit tests, run on both builds.
#include "agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bridge_file.h"
#include "frame.h"
#include "stop_signals.h"
#include "test.h"

namespace velmora::agent {
namespace {

namespace fs = std::filesystem;
using platform::Socket;

// Generous bounds: they only keep a faulty agent from hanging the run.
constexpr std::chrono::seconds BOUND{20};

// Shuts the socket down if the test is still waiting on it after BOUND, so that a read from an
// agent that never answers fails instead of hanging.
class ReadBound {
 public:
  explicit ReadBound(Socket& socket) : watcher_([this, &socket] { watch(socket); }) {}
  ~ReadBound() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_signal_.notify_one();
    watcher_.join();
  }

  // Whether the read ended because the bound cut it short; its outcome then means nothing.
  bool fired() const { return fired_.load(); }

 private:
  void watch(Socket& socket) {
    std::unique_lock lock(mutex_);
    if (done_signal_.wait_for(lock, BOUND, [this] { return done_; })) return;
    fired_.store(true);
    socket.shutdown_both();
  }

  std::mutex mutex_;
  std::condition_variable done_signal_;
  bool done_ = false;
  std::atomic<bool> fired_{false};
  std::thread watcher_;
};

std::expected<std::string, IoError> read_text(Socket& socket) {
  ReadBound bound(socket);
  auto frame = read_frame(socket);
  if (bound.fired()) return std::unexpected(IoError::invalid_data("nothing came within the bound"));
  if (!frame) return std::unexpected(frame.error());
  return std::string(reinterpret_cast<const char*>(frame->data()), frame->size());
}

std::string text_or_error(const std::expected<std::string, IoError>& read) {
  return read ? *read : "error: " + read.error().display();
}

void send_text(Socket& socket, std::string_view text) {
  auto sent = write_frame(socket, as_bytes(text));
  ASSERT_TRUE(sent) << sent.error().display();
}

// The agent closed the connection: the next read finds its end, not a frame.
void expect_closed(Socket& socket) {
  auto next = read_text(socket);
  ASSERT_FALSE(next) << "unexpected frame: " << *next;
  EXPECT_EQ(next.error().kind(), IoError::Kind::UnexpectedEof) << next.error().display();
}

std::string hello(std::string_view token) {
  return R"({"op":"hello","token":")" + std::string(token) + "\"}";
}

class AgentTest : public ::testing::Test {
 protected:
  void start() {
    auto opened = Agent::open(bridge_file_);
    ASSERT_TRUE(opened) << opened.error();
    agent_.emplace(std::move(*opened));
    runner_ = std::thread([this, done = std::move(done_)]() mutable {
      agent_->run();
      done.set_value();
    });
  }

  void TearDown() override {
    if (!agent_) return;
    agent_->request_stop();
    if (run_ended()) return runner_.join();
    ADD_FAILURE() << "the agent did not stop";
    runner_.detach();
  }

  bool run_ended() { return finished_.wait_for(BOUND) == std::future_status::ready; }

  Socket connect() {
    auto socket = Socket::connect_loopback(agent_->port(), BOUND);
    EXPECT_TRUE(socket) << socket.error().display();
    return socket ? std::move(*socket) : Socket();
  }

  // A connection that has passed the hello.
  Socket link() {
    Socket socket = connect();
    send_text(socket, hello(agent_->token()));
    auto reply = read_text(socket);
    EXPECT_EQ(text_or_error(reply), R"({"ok":true})");
    return socket;
  }

  void expect_echo(Socket& socket, std::string_view text) {
    send_text(socket, text);
    auto echo = read_text(socket);
    ASSERT_TRUE(echo) << echo.error().display();
    EXPECT_EQ(*echo, text);
  }

  test::TempDir roaming_ = test::TempDir::create().value();
  fs::path bridge_file_ = roaming_.path() / "VelmoraAgent" / "web-bridge.json";
  std::optional<Agent> agent_;
  std::promise<void> done_;
  std::future<void> finished_ = done_.get_future();
  std::thread runner_;
};

bool is_lower_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

TEST(AgentTokenTest, TokensAreFreshHexDigits) {
  std::string first = fresh_token();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_TRUE(std::ranges::all_of(first, is_lower_hex)) << first;
  EXPECT_NE(first, fresh_token());
}

TEST(AgentTokenTest, BridgeFileContentsEscapeTheToken) {
  EXPECT_EQ(bridge_file_contents(8080, "a\"b\\c\n"), R"({"port":8080,"token":"a\"b\\c\n"})");
  EXPECT_EQ(bridge_file_contents(0, ""), R"({"port":0,"token":""})");
}

TEST_F(AgentTest, PublishesItsPortAndTokenWhereTheHostLooks) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto published = read_bridge_file(bridge_file_);
  ASSERT_TRUE(published) << published.error().debug();
  EXPECT_EQ(published->port, agent_->port());
  EXPECT_NE(published->port, 0);
  EXPECT_EQ(published->token, agent_->token());
  EXPECT_EQ(published->token.size(), 32u);
}

TEST_F(AgentTest, AProbeThatClosesAtOnceIsHarmless) {
  ASSERT_NO_FATAL_FAILURE(start());
  { Socket probe = connect(); }
  {
    Socket half = connect();
    ASSERT_TRUE(write_all(half, as_bytes(std::string_view("\x05\x00", 2))));
  }
  Socket linked = link();
  expect_echo(linked, "after the probes");
  EXPECT_TRUE(fs::exists(bridge_file_));
}

TEST_F(AgentTest, AWrongTokenIsRefusedAndClosed) {
  ASSERT_NO_FATAL_FAILURE(start());
  Socket socket = connect();
  send_text(socket, hello(agent_->token() + "0"));
  auto reply = read_text(socket);
  EXPECT_EQ(text_or_error(reply), R"({"ok":false})");
  expect_closed(socket);
}

TEST_F(AgentTest, AFirstFrameThatIsNoHelloIsRefused) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::string token = agent_->token();
  for (const std::string& first : std::vector<std::string>{
           std::string(STOP_MESSAGE), "not json " + hello(token),
           R"({"op":"hallo","token":")" + token + "\"}", R"({"op":"hello"})"}) {
    Socket socket = connect();
    send_text(socket, first);
    auto reply = read_text(socket);
    EXPECT_EQ(text_or_error(reply), R"({"ok":false})") << first;
  }
  EXPECT_TRUE(fs::exists(bridge_file_)) << "a stop before the hello was obeyed";
}

TEST_F(AgentTest, TheRightTokenIsAcceptedAndEveryFrameEchoed) {
  ASSERT_NO_FATAL_FAILURE(start());
  Socket socket = link();
  expect_echo(socket, "plain bytes, not JSON");
  expect_echo(socket, R"({"op": "stop"})");
  std::string large(1 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  expect_echo(socket, large);
  expect_echo(socket, "x");
}

TEST_F(AgentTest, ConnectionsAreServedSideBySide) {
  ASSERT_NO_FATAL_FAILURE(start());
  Socket first = link();
  Socket second = link();
  expect_echo(second, "second");
  expect_echo(first, "first");
}

TEST_F(AgentTest, TheStopMessageWithdrawsTheFileAndEndsTheAgent) {
  ASSERT_NO_FATAL_FAILURE(start());
  Socket idle = link();
  Socket stopper = link();
  send_text(stopper, STOP_MESSAGE);
  expect_closed(stopper);
  EXPECT_FALSE(fs::exists(bridge_file_)) << "the connection ended before the file went";
  EXPECT_TRUE(run_ended());
  expect_closed(idle);
}

TEST_F(AgentTest, ARequestedStopWithdrawsTheFile) {
  ASSERT_NO_FATAL_FAILURE(start());
  agent_->request_stop();
  EXPECT_TRUE(run_ended());
  EXPECT_FALSE(fs::exists(bridge_file_));
}

TEST_F(AgentTest, EndingWithoutARunWithdrawsTheFile) {
  {
    auto opened = Agent::open(bridge_file_);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_TRUE(fs::exists(bridge_file_));
  }
  EXPECT_FALSE(fs::exists(bridge_file_));
}

class AgentSignalTest : public AgentTest, public ::testing::WithParamInterface<int> {};

TEST_P(AgentSignalTest, ASignalStopsTheAgent) {
  ASSERT_NO_FATAL_FAILURE(start());
  StopOnSignals signals([this] { agent_->request_stop(); });
  ASSERT_EQ(std::raise(GetParam()), 0);
  EXPECT_TRUE(run_ended());
  EXPECT_FALSE(fs::exists(bridge_file_));
}

INSTANTIATE_TEST_SUITE_P(Both, AgentSignalTest, ::testing::Values(SIGINT, SIGTERM));

}  // namespace
}  // namespace velmora::agent
