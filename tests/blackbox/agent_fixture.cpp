#include "agent_fixture.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "loopback.h"

namespace velmora::blackbox {

namespace {

constexpr std::size_t kShownBytes = 120;

// Payloads for readable failure messages: long ones are cut short.
std::string shown(std::string_view bytes) {
  if (bytes.size() <= kShownBytes) return testing::PrintToString(std::string(bytes));
  return testing::PrintToString(std::string(bytes.substr(0, kShownBytes))) + "... (" +
         std::to_string(bytes.size()) + " bytes)";
}

std::string shown_frames(const std::vector<Bytes>& frames) {
  std::string out = "[";
  for (const Bytes& payload : frames) out += (out.size() > 1 ? ", " : "") + shown(payload);
  return out + "]";
}

}  // namespace

testing::AssertionResult AgentTest::StartAgent(std::vector<AgentScript> scripts,
                                               std::optional<std::string_view> token) {
  auto started = TestAgent::start(std::move(scripts));
  if (!started) return testing::AssertionFailure() << started.error();
  agent_.emplace(std::move(*started));
  if (!token) return testing::AssertionSuccess();
  if (auto published = agent_->publish(roaming(), *token); !published) {
    return testing::AssertionFailure() << published.error();
  }
  return testing::AssertionSuccess();
}

std::expected<BareLink, std::string> AgentTest::StartWithBareAgent(int receive_buffer) const {
  std::uint16_t port = 0;
  auto listener = listen_on_loopback(port);
  if (!listener) return std::unexpected(listener.error());
  if (receive_buffer > 0 && ::setsockopt(listener->get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                                         sizeof receive_buffer) != 0) {
    return std::unexpected(std::string("no receive buffer of that size"));
  }
  if (auto written = write_file(bridge_file_path(roaming()), bridge_json(port, kToken)); !written) {
    return std::unexpected(written.error());
  }
  auto host = start();
  if (!host) return std::unexpected(host.error());
  auto connection = accept_within(listener->get(), kEndsPromptly);
  if (!connection) return std::unexpected(connection.error());
  return BareLink{std::move(*host), std::move(*connection)};
}

std::expected<BareLink, std::string> AgentTest::StartLinkedWithBareAgent(int receive_buffer) const {
  auto link = StartWithBareAgent(receive_buffer);
  if (!link) return link;
  auto hello = receive_frame(link->connection.get(), Deadline(kEndsPromptly));
  if (!hello || *hello != kHello) return std::unexpected(std::string("no hello"));
  if (!send_all(link->connection.get(), frame(R"({"ok":true})"))) {
    return std::unexpected(std::string("the host went before the reply"));
  }
  if (auto linked = NextFrameIs(link->host, kLinkedNotice); !linked) {
    return std::unexpected(std::string(linked.message()));
  }
  return link;
}

testing::AssertionResult NextFrameIs(HostProcess& host, std::string_view expected, Duration limit) {
  auto payload = host.read_frame(limit);
  if (!payload) {
    return testing::AssertionFailure()
           << "no frame for " << shown(expected) << ": " << describe(payload.error())
           << "; error stream: " << testing::PrintToString(host.error_output());
  }
  if (*payload == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "frame " << shown(*payload) << "\n  expected " << shown(expected);
}

testing::AssertionResult NoMoreOutput(HostProcess& host) {
  Bytes rest = host.unread_output();
  if (rest.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "standard output also got " << shown(rest);
}

testing::AssertionResult AgentReceived(const TestAgent& agent, std::size_t index,
                                       const std::vector<Bytes>& expected, Duration limit) {
  agent.wait_for_frames(index, expected.size(), limit);
  auto connections = agent.connections();
  if (connections.size() <= index) {
    return testing::AssertionFailure()
           << "the agent has " << connections.size() << " connection(s), none with index " << index;
  }
  const std::vector<Bytes>& got = connections[index].frames;
  if (got == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "agent received " << shown_frames(got)
                                     << "\n  expected       " << shown_frames(expected);
}

testing::AssertionResult EachConnectionReceived(const TestAgent& agent, std::size_t count,
                                                const std::vector<Bytes>& expected,
                                                Duration limit) {
  // Called once every host has ended: each connection is whole once its close is seen.
  agent.wait_for_connections(count, limit);
  for (std::size_t index = 0; index < count; ++index) agent.wait_for_peer_close(index, limit);
  auto connections = agent.connections();
  std::size_t other = 0;
  std::optional<std::size_t> first_other;
  for (std::size_t index = 0; index < connections.size(); ++index) {
    if (connections[index].frames == expected) continue;
    ++other;
    if (!first_other) first_other = index;
  }
  if (connections.size() == count && other == 0) return testing::AssertionSuccess();
  auto failure = testing::AssertionFailure()
                 << connections.size() << " connection(s) for " << count << ", " << other
                 << " of them without exactly " << shown_frames(expected);
  if (first_other) {
    failure << "; the first, connection " << *first_other << ", received "
            << shown_frames(connections[*first_other].frames);
  }
  return failure;
}

testing::AssertionResult OddBridgeFile(const std::filesystem::path& path, bool fifo) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (fifo && ::mkfifo(path.c_str(), 0600) != 0) error.assign(errno, std::generic_category());
  if (!fifo && !error) std::filesystem::create_symlink("/dev/zero", path, error);
  if (!error) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "cannot make " << path << ": " << error.message();
}

}  // namespace velmora::blackbox
