// Asks the Windows owner check many times about connections to a listener of this user while
// other connections come and go, and counts each answer with its reason. A tool for finding
// why a lookup misjudges the user's own agent (under Wine, or on a real machine):
//
//   owner_tally [--count=N] [--port=P] [--churn=K]
//
// --port asks about connections to a listener elsewhere (another process, a Linux program under
// Wine); without it the listener is this process's own. --churn runs K threads that open and
// close loopback connections meanwhile.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/peer_owner-win32.h"

namespace {

using namespace velmora;
using namespace velmora::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
  int count = 10000;
  std::optional<std::uint16_t> port;
  int churn = 2;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> std::optional<long> {
      if (!arg.starts_with(name)) return std::nullopt;
      return std::strtol(argv[i] + name.size(), nullptr, 10);
    };
    if (auto n = value("--count=")) options.count = static_cast<int>(*n);
    if (auto n = value("--port=")) options.port = static_cast<std::uint16_t>(*n);
    if (auto n = value("--churn=")) options.churn = static_cast<int>(*n);
  }
  return options;
}

// One read of the table as the check makes it, with every call's result kept.
struct TableRead {
  win32::TcpTable table = std::unexpected(DWORD{0});
  std::string calls;  // the results in order, such as "122 0"
};

TableRead read_table_noting_calls() {
  TableRead read;
  auto system = win32::system_tcp_table();
  read.table = win32::read_tcp_table([&](void* buffer, DWORD* size) {
    DWORD result = system(buffer, size);
    read.calls += (read.calls.empty() ? "" : " ") + std::to_string(result);
    return result;
  });
  return read;
}

const MIB_TCPROW_OWNER_PID* agent_row(const win32::TcpTable& table, const win32::TcpEnds& ends) {
  if (!table) return nullptr;
  for (const auto& row : *table) {
    if (row.dwLocalPort == ends.agent.sin_port && row.dwRemotePort == ends.host.sin_port)
      return &row;
  }
  return nullptr;
}

std::map<std::string, int> call_sequences;

// The check's answer for `stream`, and why.
std::string judge(const Socket& stream) {
  auto ends = win32::ends_of(static_cast<SOCKET>(stream.native()));
  if (!ends) return "failed: ends " + std::to_string(ends.error());
  auto own = win32::own_user();
  TableRead read = read_table_noting_calls();
  ++call_sequences[read.calls];
  std::string asked;
  auto user_of = [&](DWORD pid) {
    auto user = win32::user_of_process(pid);
    asked = "pid " + std::string(pid == GetCurrentProcessId() ? "self" : "other") +
            (user ? "" : ", error " + std::to_string(user.error()));
    return user;
  };
  auto owner = win32::decide_owner(read.table, *ends, user_of, own);
  if (!owner) return "failed: " + owner.error().display() + " (calls " + read.calls + ")";
  const auto* row = agent_row(read.table, *ends);
  std::string where = row == nullptr ? "no row"
                                     : "state " + std::to_string(row->dwState) + ", " +
                                           (asked.empty() ? "pid 0" : asked);
  switch (*owner) {
    case PeerOwner::Same:
      return "same: " + where;
    case PeerOwner::Other:
      return "other: " + where;
    case PeerOwner::Unknown:
      return "cannot say: " + where;
  }
  return "?";
}

// Threads that open and close loopback connections until stopped.
class Churn {
 public:
  explicit Churn(int threads) : listener_(Listener::bind_loopback(0).value()) {
    if (threads == 0) return;
    workers_.emplace_back([this](std::stop_token stop) {
      while (!stop.stop_requested()) (void)listener_.accept();
    });
    for (int i = 0; i < threads; ++i) {
      workers_.emplace_back([this](std::stop_token stop) {
        while (!stop.stop_requested()) (void)Socket::connect_loopback(listener_.port(), 500ms);
      });
    }
  }
  ~Churn() {
    for (auto& worker : workers_) worker.request_stop();
    // Wakes the acceptor.
    for (std::size_t i = 0; i < workers_.size(); ++i)
      (void)Socket::connect_loopback(listener_.port(), 500ms);
  }

 private:
  Listener listener_;
  std::vector<std::jthread> workers_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  std::optional<Listener> own;
  if (!options.port) own = Listener::bind_loopback(0).value();
  std::uint16_t port = options.port ? *options.port : own->port();
  std::map<std::string, int> tally;
  std::vector<double> millis;
  {
    Churn churn(options.churn);
    for (int i = 0; i < options.count; ++i) {
      auto stream = Socket::connect_loopback(port, 500ms);
      if (!stream) {
        ++tally["connect failed: " + stream.error().display()];
        continue;
      }
      // Accepted only after the question on every other round: both states are asked about.
      std::optional<Socket> accepted;
      if (own && i % 2 == 0) accepted.emplace(own->accept().value());
      auto started = Clock::now();
      ++tally[judge(*stream)];
      millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
      if (own && !accepted) (void)own->accept();
    }
  }
  std::ranges::sort(millis);
  for (const auto& [calls, count] : call_sequences)
    std::printf("%7d  GetExtendedTcpTable results %s\n", count, calls.c_str());
  for (const auto& [answer, count] : tally) std::printf("%7d  %s\n", count, answer.c_str());
  if (!millis.empty()) {
    auto at = [&](std::size_t percent) { return millis[percent * (millis.size() - 1) / 100]; };
    std::printf("lookup ms: median %.2f, 99th %.2f, largest %.2f\n", at(50), at(99), millis.back());
  }
  return 0;
}
