#include "killed_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

#include "fd_io.h"
#include "loopback.h"

namespace velmora::blackbox {

namespace {

// The child runs system calls only, on memory set up before the fork.
bool write_fully(int fd, const char* data, std::size_t size, bool socket) {
  while (size > 0) {
    ssize_t put = socket ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// Reads up to `wanted` bytes (all that come, when `wanted` is 0) and passes them on.
bool relay_read(int connection, int report, std::size_t wanted, bool echo) {
  std::array<char, 65536> chunk;
  std::size_t have = 0;
  while (wanted == 0 || have < wanted) {
    std::size_t ask = wanted == 0 ? chunk.size() : std::min(chunk.size(), wanted - have);
    ssize_t got = ::recv(connection, chunk.data(), ask, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    auto size = static_cast<std::size_t>(got);
    write_fully(report, chunk.data(), size, false);
    if (echo && !write_fully(connection, chunk.data(), size, true)) return false;
    have += size;
  }
  return true;
}

[[noreturn]] void run_child(int listener, int done, int report,
                            const std::vector<KillStep>& steps) {
  int connection = -1;
  for (const KillStep& step : steps) {
    switch (step.kind) {
      case KillStep::Kind::Accept:
        connection = ::accept(listener, nullptr, nullptr);
        break;
      case KillStep::Kind::Read:
        relay_read(connection, report, step.count, false);
        break;
      case KillStep::Kind::Write:
        write_fully(connection, step.bytes.data(), step.bytes.size(), true);
        break;
      case KillStep::Kind::Echo:
        relay_read(connection, report, 0, true);
        break;
    }
  }
  char byte = 1;
  write_fully(done, &byte, 1, false);
  for (;;) ::pause();
}

}  // namespace

std::expected<KilledAgent, std::string> KilledAgent::start(const std::vector<KillStep>& steps,
                                                           const std::filesystem::path& report) {
  std::uint16_t port = 0;
  auto listener = listen_on_loopback(port);
  if (!listener) return std::unexpected(listener.error());
  auto done = make_pipe();
  if (!done) return std::unexpected(done.error());
  UniqueFd copy(::open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!copy) return std::unexpected(os_failure("open"));
  pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(os_failure("fork"));
  if (pid == 0) run_child(listener->get(), done->write.get(), copy.get(), steps);
  // The child holds the only listening end, so that its death closes it.
  return KilledAgent(pid, port, std::move(done->read), report);
}

KilledAgent::KilledAgent(KilledAgent&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      port_(other.port_),
      done_(std::move(other.done_)),
      report_(std::move(other.report_)) {}

KilledAgent::~KilledAgent() {
  kill();
}

bool KilledAgent::wait_until_done(Duration limit) {
  pollfd entry{done_.get(), POLLIN, 0};
  return ::poll(&entry, 1, Deadline(limit).poll_ms()) > 0;
}

void KilledAgent::kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

Bytes KilledAgent::received() {
  kill();
  std::ifstream in(report_, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace velmora::blackbox
