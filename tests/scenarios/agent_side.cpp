#include "agent_side.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>

#include "loopback.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

using namespace std::chrono_literals;
constexpr std::size_t kChunk = 65536;

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

}  // namespace

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

AgentSide::AgentSide(const Scenario& s, Record& record) : s_(s), record_(record) {
  listener_ = bound_socket(port_);
  if (s.agent != Agent::None && s.agent != Agent::ListensLate) ::listen(listener_.get(), 16);
  thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

void AgentSide::serve(const std::stop_token& stop) {
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

template <typename Act>
void AgentSide::noted_reply(Act&& act) {
  record_.note([&](History& h) { h.reply_at = record_.now(); });
  act();
  record_.note([&](History& h) { h.reply_done = record_.now(); });
}

// False for a probe that closed without a byte: the next connection is awaited.
bool AgentSide::converse(const std::stop_token& stop, UniqueFd& fd) {
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

void AgentSide::refuse(UniqueFd& fd, std::jthread& reading) {
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
bool AgentSide::send_frames(const std::stop_token& stop, int fd) {
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

void AgentSide::end(const std::stop_token& stop, UniqueFd& fd, std::jthread& reading,
                    AgentEnd how) {
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
void AgentSide::reset(UniqueFd& fd, std::jthread& reading) {
  if (reading.joinable()) {
    reading.request_stop();
    reading.join();
  }
  linger abort{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  fd.reset();
}

}  // namespace velmora::scenarios
