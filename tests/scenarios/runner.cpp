// The runner: plays one scenario against the real executable. Each party is a thread of its
// own (the agent with a reader beside it, the extension's writer and reader, the bridge file's
// timeline, the busy loops), and each notes what it sent and received, with times, in one
// shared record; the main thread watches the host's status and peak memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "loopback.h"
#include "scenario.h"
#include "temp_dir.h"
#include "test_agent.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr std::string_view kToken = "scenario-t0k3n";
constexpr std::size_t kPiece = 4096;  // at most PIPE_BUF: a pipe takes it whole or not at all
constexpr std::size_t kChunk = 65536;
constexpr Duration kForever = 1h;  // until the scenario stops

// Sleeps that end early when the scenario stops; false then.
bool nap(const std::stop_token& stop, Duration span) {
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  return !woken.wait_for(lock, stop, span, [] { return false; }) && !stop.stop_requested();
}

// What every party notes, guarded by one lock; counters the sampler reads are atomic.
struct Record {
  Clock::time_point start;
  std::mutex mutex;
  History history;
  std::atomic<std::uint64_t> ext_written{0}, agent_read{0};
  Duration give_up{};  // the extension stops writing and closes its end

  Duration now() const { return std::chrono::duration_cast<Duration>(Clock::now() - start); }
  template <typename Change>
  void note(Change&& change) {
    std::lock_guard lock(mutex);
    change(history);
  }
};

// A loopback socket with its port taken but not listening: connections to it are refused.
UniqueFd bound_socket(std::uint16_t& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (::bind(fd.get(), generic, size) != 0 || ::getsockname(fd.get(), generic, &size) != 0) {
    throw std::runtime_error(os_failure("bind"));
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool readable(int fd, Duration limit) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
}

// The agent's reading end: frames noted as they complete, at the scenario's pace.
class AgentReader {
 public:
  AgentReader(int fd, Record& record) : fd_(fd), record_(record) {}

  // The hello; nothing for a connection that closes without a byte (the launch probe).
  std::optional<Bytes> first_frame(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      if (auto whole = next_frame()) return whole;
      if (!receive(stop, kChunk)) return std::nullopt;
    }
    return std::nullopt;
  }

  void relay(const std::stop_token& stop, Pace pace) {
    if (pace == Pace::Never) {
      nap(stop, kForever);
      return;
    }
    if (pace == Pace::Stalls && !nap(stop, 3s)) return;
    while (!stop.stop_requested()) {
      while (auto whole = next_frame())
        record_.note([&](History& h) { h.to_agent.push_back(seen(*whole)); });
      if (!receive(stop, kChunk)) return;
      if (pace != Pace::Fast) nap(stop, pace == Pace::Slow ? 8ms : 2ms);  // ~8 or ~30 MB/s
    }
  }

 private:
  bool receive(const std::stop_token& stop, std::size_t most) {
    while (!readable(fd_, 50ms)) {
      if (stop.stop_requested()) return false;
    }
    char chunk[kChunk];
    ssize_t got = ::recv(fd_, chunk, std::min(most, kChunk), 0);
    if (got <= 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(got));
    record_.agent_read += static_cast<std::uint64_t>(got);
    return true;
  }

  std::optional<Bytes> next_frame() {
    if (pending_.size() < 4) return std::nullopt;
    std::size_t length = decode_length(pending_);
    if (pending_.size() < 4 + length) return std::nullopt;
    Bytes whole = pending_.substr(4, length);
    pending_.erase(0, 4 + length);
    return whole;
  }

  int fd_;
  Record& record_;
  Bytes pending_;
};

Bytes reply_for(const Scenario& s) {
  const std::size_t n = s.reply_size;
  if (s.agent == Agent::Refuses) {
    if (n < 64) return R"({"ok":false})";
    Bytes zeros = "[0";  // a valid JSON array of zeros: no "ok", so a refusal
    while (zeros.size() + 3 <= n) zeros += ",0";
    return zeros + "]";
  }
  if (n < 64) return "not json";
  Bytes open = "[";  // an array that never closes
  while (open.size() + 2 <= n) open += "0,";
  return open;
}

class AgentSide {
 public:
  AgentSide(const Scenario& s, Record& record) : s_(s), record_(record) {
    listener_ = bound_socket(port_);
    if (s.agent != Agent::None && s.agent != Agent::ListensLate) ::listen(listener_.get(), 16);
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  std::uint16_t port() const { return port_; }

 private:
  void serve(const std::stop_token& stop) {
    if (s_.agent == Agent::None) return;
    if (s_.agent == Agent::ListensLate) {
      if (!nap(stop, s_.agent_delay)) return;
      ::listen(listener_.get(), 16);
    }
    if (s_.agent == Agent::AcceptsLate && !nap(stop, s_.agent_delay)) return;
    while (!stop.stop_requested()) {
      if (!readable(listener_.get(), 50ms)) continue;
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (fd && converse(stop, fd)) return;
    }
  }

  // False for a probe that closed without a byte: the next connection is awaited.
  bool converse(const std::stop_token& stop, UniqueFd& fd) {
    AgentReader reader(fd.get(), record_);
    auto hello = reader.first_frame(stop);
    if (!hello) return false;
    record_.note([&](History& h) { h.hello = *hello; });
    const Pace pace = accepts(s_) ? s_.agent_reads : Pace::Fast;
    std::jthread reading;
    auto start_reading = [&] {
      reading = std::jthread([&, pace](std::stop_token inner) { reader.relay(inner, pace); });
    };
    if (accepts(s_)) {
      send_all(fd.get(), frame(R"({"ok":true})"));
      start_reading();
      if (send_frames(stop, fd.get())) end(stop, fd, reading, s_.agent_end);
    } else if (s_.agent != Agent::Silent) {
      if (!nap(stop, s_.agent_delay)) return true;
      noted_reply([&] { refuse(fd, reading); });
      if (fd) start_reading();
    } else {
      start_reading();
    }
    nap(stop, kForever);
    return true;
  }

  template <typename Act>
  void noted_reply(Act&& act) {
    record_.note([&](History& h) { h.reply_at = record_.now(); });
    act();
    record_.note([&](History& h) { h.reply_done = record_.now(); });
  }

  void refuse(UniqueFd& fd, std::jthread& reading) {
    switch (s_.agent) {
      case Agent::ClosesAfterHello:
        ::shutdown(fd.get(), SHUT_WR);
        break;
      case Agent::Resets:
        reset(fd, reading);
        break;
      default:
        send_all(fd.get(), frame(reply_for(s_)));
        break;
    }
  }

  // False once a bad length has ended the stream, or the host has gone.
  bool send_frames(const std::stop_token& stop, int fd) {
    for (std::size_t i = 0; i < s_.agent_frames.size(); ++i) {
      if (i > 0 && !nap(stop, s_.agent_gap)) return false;
      const std::size_t size = s_.agent_frames[i];
      if (size == 0 || size > MAX_FRAME_LEN) {
        // Timed before the write: the host may act on it before this thread runs again.
        const Duration at = record_.now();
        if (send_all(fd, length_prefix(static_cast<std::uint32_t>(size)))) {
          record_.note([&](History& h) {
            h.agent_bad_length = true;
            h.agent_end_at = at;
          });
        }
        return false;
      }
      if (!send_all(fd, frame(payload('a', i, size)))) return false;
      record_.note([](History& h) { ++h.agent_sent; });
    }
    return true;
  }

  void end(const std::stop_token& stop, UniqueFd& fd, std::jthread& reading, AgentEnd how) {
    if (how == AgentEnd::Stays || stop.stop_requested()) return;
    if (how == AgentEnd::CloseInside) {
      std::size_t index = s_.agent_frames.size();
      send_all(fd.get(), frame(payload('a', index, 1000)).substr(0, 500));
    }
    record_.note([&](History& h) { h.agent_end_at = record_.now(); });
    if (how == AgentEnd::Reset) return reset(fd, reading);
    ::shutdown(fd.get(), SHUT_WR);
  }

  // A close with no lingering sends a reset; the reader must be gone first.
  static void reset(UniqueFd& fd, std::jthread& reading) {
    if (reading.joinable()) {
      reading.request_stop();
      reading.join();
    }
    linger abort{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.reset();
  }

  const Scenario& s_;
  Record& record_;
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::jthread thread_;  // last: stopped and joined before the rest goes
};

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

// Whole bytes into the host's input, a pipe-sized piece at a time, so that a time-out leaves no
// piece half-written; false once the host has gone, or once the writer gives up on it.
bool put(const std::stop_token& stop, HostProcess& host, Record& record, std::string_view bytes) {
  while (!bytes.empty()) {
    if (record.now() > record.give_up) return false;
    std::string_view piece = bytes.substr(0, kPiece);
    auto written = host.write(piece, 50ms);
    if (written) {  // written stays written, however soon the scenario stops after it
      record.ext_written += piece.size();
      bytes.remove_prefix(piece.size());
      continue;
    }
    if (!written.error().starts_with("write timed out") || stop.stop_requested()) return false;
  }
  return true;
}

class ExtensionSide {
 public:
  ExtensionSide(const Scenario& s, Record& record, HostProcess& host, Duration startup)
      : s_(s), record_(record), host_(host), late_(startup + kLateFirst) {
    writer_ = std::jthread([this](std::stop_token stop) { write(stop); });
    reader_ = std::jthread([this](std::stop_token stop) { read(stop); });
  }

  // Once the host has ended: everything left on its output.
  void drain() {
    writer_.request_stop();
    reader_.request_stop();
    reader_.join();
    for (Deadline limit(2s); !limit.passed();) {
      auto got = host_.read_frame(200ms);
      if (!got) break;
      record_.note([&](History& h) { h.to_extension.push_back(seen(*got)); });
    }
  }

 private:
  bool send(const std::stop_token& stop, std::string_view bytes) {
    if (!put(stop, host_, record_, length_prefix(static_cast<std::uint32_t>(bytes.size()))) ||
        !put(stop, host_, record_, bytes)) {
      return false;
    }
    record_.note([](History& h) { ++h.ext_sent; });
    return true;
  }

  bool send_all_frames(const std::stop_token& stop) {
    if (s_.first == First::Launch && !send(stop, kLaunch)) return false;
    if (s_.first == First::LateLaunch || s_.first == First::None) {
      if (!nap(stop, late_)) return false;
      if (s_.first == First::LateLaunch && !send(stop, kLaunch)) return false;
    }
    for (std::size_t i = 0; i < s_.ext_frames.size(); ++i) {
      if (i > 0 && !nap(stop, s_.ext_gap)) return false;
      if (i > 0 && i + 1 == s_.ext_frames.size() && !nap(stop, s_.ext_pause)) return false;
      if (!send(stop, payload('e', i, s_.ext_frames[i]))) return false;
    }
    return true;
  }

  // A browser closes the input when it likes, written or not: a write held up past the give-up
  // time is cut short and the input closed at once.
  void write(const std::stop_token& stop) {
    if (!send_all_frames(stop)) return given_up(stop);
    if (s_.input_end == InputEnd::InsideFrame) {
      Bytes cut = frame(payload('e', s_.ext_frames.size(), 1000)).substr(0, 500);
      if (!put(stop, host_, record_, cut)) return given_up(stop);
    }
    if (s_.input_end == InputEnd::BadLength) {
      const Duration at = record_.now();  // as for the agent's bad length
      if (!put(stop, host_, record_, length_prefix(s_.bad_length))) return given_up(stop);
      record_.note([&](History& h) { h.input_end_at = at; });
      // Bytes after a bad length are never the extension's frames.
      (void)put(stop, host_, record_, frame(payload('e', s_.ext_frames.size(), 100)));
    }
    bool late = s_.input_end == InputEnd::Late;
    if (!nap(stop, late ? kLateClose + late_ - kLateFirst - record_.now() : s_.close_delay)) {
      return;
    }
    close_now(stop);
  }

  // A write that failed because the host has gone is no end of input.
  void given_up(const std::stop_token& stop) {
    if (record_.now() > record_.give_up) close_now(stop);
  }

  void close_now(const std::stop_token& stop) {
    if (stop.stop_requested()) return;
    record_.note([&](History& h) {
      if (!h.input_end_at) h.input_end_at = record_.now();
    });
    host_.close_stdin();
  }

  void read(const std::stop_token& stop) {
    if (s_.ext_reads == Pace::Never) {
      nap(stop, kForever);
      return;
    }
    while (!stop.stop_requested()) {
      auto got = host_.read_frame(50ms);
      if (!got && got.error() != ReadError::TimedOut) return;
      if (!got) continue;
      record_.note([&](History& h) { h.to_extension.push_back(seen(*got)); });
      if (s_.ext_reads == Pace::Slow) nap(stop, 100ms);
    }
  }

  const Scenario& s_;
  Record& record_;
  HostProcess& host_;
  Duration late_;
  std::jthread writer_, reader_;
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
