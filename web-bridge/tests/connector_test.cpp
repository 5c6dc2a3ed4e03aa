#include "host/connector.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "test.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ConnectorTest : public testing::Test {
 protected:
  void SetUp() override { path_ = folder_ / "web-bridge.json"; }

  void write_bridge(std::string_view contents) const {
    auto temporary = path_;
    temporary += ".tmp";
    std::ofstream(temporary, std::ios::binary) << contents;
    std::filesystem::rename(temporary, path_);
  }
  void write_bridge(std::uint16_t port, std::string_view token) const {
    write_bridge(R"({"port":)" + std::to_string(port) + R"(,"token":")" + std::string(token) +
                 "\"}");
  }

  static platform::Listener listen() { return platform::Listener::bind_loopback(0).value(); }
  // A loopback port on which nothing listens.
  static std::uint16_t closed_port() { return listen().port(); }

  test::TempDir dir_ = test::TempDir::create().value();
  const std::filesystem::path& folder_ = dir_.path();
  std::filesystem::path path_;
};

TEST_F(ConnectorTest, ConnectsWithTheTokenOfTheSameRead) {
  auto listener = listen();
  write_bridge(listener.port(), "s3cret");
  auto link = connect_agent(path_, 0s);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->bridge.token, "s3cret");
  EXPECT_EQ(link->bridge.port, listener.port());
  EXPECT_TRUE(listener.accept());
}

TEST_F(ConnectorTest, WaitsForAFileThatAppearsLateAndFollowsAChangedPort) {
  auto listener = listen();
  write_bridge(closed_port(), "stale");
  std::thread agent([&] {
    std::this_thread::sleep_for(500ms);
    write_bridge(listener.port(), "fresh");
  });
  auto link = connect_agent(path_, 10s);
  agent.join();
  ASSERT_TRUE(link);
  EXPECT_EQ(link->bridge.token, "fresh");
}

TEST_F(ConnectorTest, GivesUpWithNotConnectedWhateverTheLastFailure) {
  const std::string_view contents[] = {"", R"({"port":1)", "not json"};
  for (auto text : contents) {
    write_bridge(text);
    auto link = connect_agent(path_, 0s);
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error().kind(), BridgeError::Kind::NotConnected);
  }
  write_bridge(closed_port(), "t");
  EXPECT_EQ(connect_agent(path_, 0s).error().kind(), BridgeError::Kind::NotConnected);
  std::filesystem::remove(path_);
  EXPECT_EQ(connect_agent(path_, 0s).error().kind(), BridgeError::Kind::NotConnected);
}

TEST_F(ConnectorTest, AttemptsUntilTheDeadlineWithFullPauses) {
  // No file: every attempt fails at once, so the elapsed time counts the pauses taken.
  struct Case {
    std::chrono::milliseconds deadline;
    std::chrono::milliseconds at_least;
    std::chrono::milliseconds below;
  };
  for (const Case c : {Case{0ms, 0ms, 200ms}, Case{300ms, 400ms, 1500ms}}) {
    auto started = Clock::now();
    EXPECT_FALSE(connect_agent(path_, c.deadline));
    auto elapsed = Clock::now() - started;
    EXPECT_GE(elapsed, c.at_least) << c.deadline.count();
    EXPECT_LT(elapsed, c.below) << c.deadline.count();
  }
}

}  // namespace
}  // namespace velmora
