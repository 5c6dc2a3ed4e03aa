// The runner: plays one scenario against the real executable. Each party is a thread of its
// own (the agent with a reader beside it, in agent_side.cpp; the extension's writer and reader,
// in extension_side.cpp; the bridge file's timeline and the busy loops, here), and each notes
// what it sent and received, with times, in one shared record (record.h); the main thread
// watches the host's status and peak memory.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "agent_side.h"
#include "extension_side.h"
#include "record.h"
#include "temp_dir.h"
#include "test_agent.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr std::string_view kToken = "scenario-t0k3n";

// The bridge file as the scenario has it at the start, and the good one later if it comes.
class BridgeSide {
 public:
  BridgeSide(const Scenario& s, const fs::path& roaming, std::uint16_t port)
      : path_(bridge_file_path(roaming)) {
    if (s.bridge != Bridge::Missing) fs::create_directories(path_.parent_path());
    bool later = first(s, port);
    if (!later) return;
    thread_ = std::jthread([this, port, delay = s.bridge_delay](std::stop_token stop) {
      if (nap(stop, delay)) write(port);
    });
  }

 private:
  void write(std::uint16_t port) const {
    if (auto ok = write_file(path_, bridge_json(port, kToken)); !ok) {
      throw std::runtime_error(ok.error());
    }
  }

  // True when the good file comes later.
  bool first(const Scenario& s, std::uint16_t port) {
    switch (s.bridge) {
      case Bridge::Missing:
        return false;
      case Bridge::Late:
        return true;
      case Bridge::Valid:
        write(port);
        return false;
      case Bridge::MalformedThenValid:
        (void)write_file(path_, R"({"port":)");
        return true;
      case Bridge::PortChanges:
        dead_ = bound_socket(dead_port_);
        write(dead_port_);
        return true;
      case Bridge::Fifo:
        ::mkfifo(path_.c_str(), 0600);
        return false;
      case Bridge::DeviceLink:
        fs::create_symlink("/dev/zero", path_);
        return false;
      case Bridge::Directory:
        fs::create_directory(path_);
        return false;
      case Bridge::Sparse:
        write(port);
        fs::resize_file(path_, std::uintmax_t{4} << 30);  // a hole: no disk used
        return false;
    }
    return false;
  }

  fs::path path_;
  UniqueFd dead_;
  std::uint16_t dead_port_ = 0;
  std::jthread thread_;
};

// Busy loops beside the host: timing faults hide on an idle machine. They share one core with
// the host (pinned there as it starts), so that its threads' hand-offs wait for a turn on it.
std::size_t shared_core() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 0;
  std::size_t last = 0;
  for (std::size_t core = 0; core < CPU_SETSIZE; ++core) {
    if (CPU_ISSET(core, &cores)) last = core;
  }
  return last;
}

struct Load {
  explicit Load(int count) {
    for (int i = 0; i < count; ++i) {
      loops.emplace_back([pinned = i == 0](std::stop_token stop) {
        if (pinned) {
          cpu_set_t core;
          CPU_ZERO(&core);
          CPU_SET(shared_core(), &core);
          pthread_setaffinity_np(pthread_self(), sizeof core, &core);
        }
        for (volatile std::uint64_t spin = 0; !stop.stop_requested();) spin = spin + 1;
      });
    }
  }
  std::vector<std::jthread> loops;
};

// Waits for the host's end, sampling its peak memory and the backlog; kills it past the
// scenario's hard limit, or once its memory is far past the bound.
void watch(const Scenario& s, Record& record, HostProcess& host, HostPlatform platform,
           Duration hard_limit) {
  constexpr long kFarPast = 256 * 1024;
  long peak = 0;
  std::uint64_t backlog = 0;
  for (;;) {
    if (auto status = host.exit_within(5ms)) {
      record.note([&](History& h) { h.status = status; });
      break;
    }
    peak = std::max(peak, peak_memory_kib(host.pid()).value_or(0));
    std::uint64_t written = record.ext_written, read = record.agent_read;
    backlog = std::max(backlog, written > read ? written - read : 0);
    History now;
    record.note([&](History& h) {
      h.peak_kib = peak;
      h.backlog_peak = backlog;
      now = h;
    });
    bool memory = peak > memory_bound_kib(s, now, platform) + kFarPast;
    if (memory || record.now() > hard_limit) {
      (void)host.wait(Duration(0));
      record.note([&](History& h) { h.killed_for_memory = memory; });
      break;
    }
  }
  record.note([&](History& h) {
    h.exit_at = record.now();
    h.errors = host.error_output();
  });
}

Command command_for(const Scenario& s, const HostSetup& setup, const fs::path& roaming) {
  Command command = setup.command(roaming);
  command.error_stream_stuck = s.errors == ErrorStream::Stuck;
  if (s.errors == ErrorStream::Closed) {
    // The same process without a descriptor 2: the shell replaces itself with the host.
    command.argv.insert(command.argv.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&-", "sh"});
  }
  if (s.load > 0) {
    command.argv.insert(command.argv.begin(),
                        {"/usr/bin/taskset", "-c", std::to_string(shared_core())});
  }
  command.nonblocking_input = s.nonblocking_input;
  command.nonblocking_output = s.nonblocking_output;
  return command;
}

}  // namespace

History run(const Scenario& s, const HostSetup& setup) {
  auto tmp = TempDir::create();
  if (!tmp) throw std::runtime_error(tmp.error());
  const fs::path roaming = tmp->path() / "roaming";
  fs::create_directories(roaming);
  const Duration startup = setup.startup_allowance();

  Record record;
  record.history.startup = startup;
  record.history.token = std::string(kToken);
  record.give_up = startup + 8s;
  record.start = Clock::now();
  {
    AgentSide agent(s, record);
    BridgeSide bridge(s, roaming, agent.port());
    Load load(s.load);
    auto host = HostProcess::start(command_for(s, setup, roaming));
    if (!host) throw std::runtime_error(host.error());
    ExtensionSide extension(s, record, *host, startup);
    watch(s, record, *host, setup.platform, kLateClose + 2 * startup + 4s);
    extension.drain();
  }
  return record.history;
}

}  // namespace velmora::scenarios
