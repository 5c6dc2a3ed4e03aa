// Both directions at once through the real host for a bounded time: self-checking frames of
// random sizes, from 1 byte to 1 MiB and now and then of the largest size, go from the extension
// to a loopback agent and from the agent to the extension, and each far end checks that every
// frame arrives exactly once, in order, unchanged. VELMORA_STRESS_SECONDS sets the time.
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

#include "agent_fixture.h"
#include "loopback.h"
#include "traffic.h"

namespace velmora::blackbox {
namespace {

using namespace std::chrono_literals;

constexpr Duration kDefaultSpan = 5s;
// Bytes sent to the agent but not yet received there: the host's queue never grows beyond this.
constexpr std::uint64_t kWindow = 3 * std::uint64_t{MAX_FRAME_LEN};
// Once the sending stops, the frames still on their way have this long to arrive.
constexpr Duration kDrain = 60s;

Duration stress_span() {
  const char* text = std::getenv("VELMORA_STRESS_SECONDS");
  if (text == nullptr || *text == '\0') return kDefaultSpan;
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(std::atof(text)));
}

// What both sides share: the first fault seen stops everything, and the extension's writer
// waits for the agent's reader to keep the bytes in flight within the window.
class StressRun {
 public:
  bool failed() const { return failed_.load(); }
  void fail(std::string what) {
    {
      std::lock_guard lock(mutex_);
      if (faults_.empty()) faults_ = std::move(what);
    }
    failed_ = true;
    changed_.notify_all();
  }
  std::string fault() const {
    std::lock_guard lock(mutex_);
    return faults_;
  }
  void received_at_agent(std::uint64_t bytes) {
    {
      std::lock_guard lock(mutex_);
      agent_received_bytes_ = bytes;
    }
    changed_.notify_all();
  }
  // False when the run failed or the window did not open within `limit`.
  bool wait_for_window(std::uint64_t sent_bytes, std::size_t next, Duration limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return failed_ || sent_bytes - agent_received_bytes_ + next <= kWindow;
    }) && !failed_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> failed_ = false;
  std::string faults_;
  std::uint64_t agent_received_bytes_ = 0;
};

std::string shown(const TrafficCount& count) {
  return std::to_string(count.frames) + " frames, " + std::to_string(count.bytes) + " bytes (" +
         std::to_string(count.largest) + " of 16 MiB)";
}

class StressTest : public AgentTest {
 protected:
  static constexpr std::uint64_t kToAgentSeed = 1;
  static constexpr std::uint64_t kToExtensionSeed = 2;

  // Sends frames to the host until `stop`, then gives what it sent.
  TrafficCount extension_writer(HostProcess& host, const std::atomic<bool>& stop) {
    FrameSource source(seed_ + kToAgentSeed);
    while (!stop && !run_.failed()) {
      std::size_t next = source.size_of(source.count().frames);
      if (!run_.wait_for_window(source.count().bytes, next, kDrain)) {
        run_.fail("the agent stopped receiving; " + shown(source.count()) + " sent");
        break;
      }
      if (auto written = host.write_frame(source.next(), kDrain); !written) {
        run_.fail(std::string("writing to the host: ") + describe(written.error()));
      }
    }
    return source.count();
  }

  void extension_reader(HostProcess& host, FrameCheck& check, const std::atomic<bool>& done,
                        const std::atomic<std::uint64_t>& sent) {
    while (!run_.failed() && !(done && check.count().frames == sent)) {
      auto payload = host.read_frame(200ms);
      if (!payload && payload.error() == ReadError::TimedOut) continue;
      if (!payload) return run_.fail(std::string("host output: ") + describe(payload.error()));
      if (auto wrong = check.take(*payload)) return run_.fail("to the extension, " + *wrong);
    }
  }

  TrafficCount agent_writer(int fd, const std::atomic<bool>& stop) {
    FrameSource source(seed_ + kToExtensionSeed);
    while (!stop && !run_.failed()) {
      if (!send_all(fd, frame(source.next()))) run_.fail("the host's connection went");
    }
    return source.count();
  }

  void agent_reader(int fd, FrameCheck& check, const std::atomic<bool>& done,
                    const std::atomic<std::uint64_t>& sent) {
    while (!run_.failed() && !(done && check.count().frames == sent)) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 200) <= 0) continue;
      auto payload = receive_frame(fd, Deadline(kDrain));
      if (!payload) return run_.fail(std::string("agent input: ") + describe(payload.error()));
      if (auto wrong = check.take(*payload)) return run_.fail("to the agent, " + *wrong);
      run_.received_at_agent(check.count().bytes);
    }
  }

  std::uint64_t seed_ = std::random_device{}();
  StressRun run_;
};

TEST_F(StressTest, BothDirectionsAtOnceDeliverEveryFrameOnceInOrderUnchanged) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  auto link = StartLinkedWithBareAgent();
  ASSERT_TRUE(link) << link.error();
  HostProcess* host = &link->host;
  const int fd = link->connection.get();

  FrameCheck at_agent(seed_ + kToAgentSeed);
  FrameCheck at_extension(seed_ + kToExtensionSeed);
  std::atomic<bool> stop = false;
  std::atomic<bool> to_agent_done = false;
  std::atomic<bool> to_extension_done = false;
  std::atomic<std::uint64_t> to_agent_sent = 0;
  std::atomic<std::uint64_t> to_extension_sent = 0;
  TrafficCount to_agent;
  TrafficCount to_extension;
  {
    std::jthread ext_in([&] {
      to_agent = extension_writer(*host, stop);
      to_agent_sent = to_agent.frames;
      to_agent_done = true;
    });
    std::jthread agent_out([&] {
      to_extension = agent_writer(fd, stop);
      to_extension_sent = to_extension.frames;
      to_extension_done = true;
    });
    std::atomic<int> readers_left = 2;
    std::jthread ext_out([&] {
      extension_reader(*host, at_extension, to_extension_done, to_extension_sent);
      --readers_left;
    });
    std::jthread agent_in([&] {
      agent_reader(fd, at_agent, to_agent_done, to_agent_sent);
      --readers_left;
    });
    Deadline span(stress_span());
    while (!span.passed() && !run_.failed()) std::this_thread::sleep_for(50ms);
    stop = true;
    Deadline drain(kDrain);
    while (readers_left > 0 && !drain.passed()) std::this_thread::sleep_for(10ms);
    if (readers_left > 0)
      run_.fail("frames still missing " + std::to_string(kDrain.count()) +
                " ms after the sending stopped");
  }
  ASSERT_FALSE(run_.failed()) << run_.fault();

  std::cout << "[ stress   ] " << stress_span().count()
            << " ms; extension to agent: " << shown(at_agent.count())
            << "; agent to extension: " << shown(at_extension.count()) << std::endl;
  RecordProperty("to_agent_frames", std::to_string(at_agent.count().frames));
  RecordProperty("to_agent_bytes", std::to_string(at_agent.count().bytes));
  RecordProperty("to_extension_frames", std::to_string(at_extension.count().frames));
  RecordProperty("to_extension_bytes", std::to_string(at_extension.count().bytes));
  EXPECT_EQ(at_agent.count().bytes, to_agent.bytes);
  EXPECT_EQ(at_extension.count().bytes, to_extension.bytes);
  EXPECT_GT(to_agent.largest + to_extension.largest, 0u);
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
  EXPECT_TRUE(NoMoreOutput(*host));
}

}  // namespace
}  // namespace velmora::blackbox
