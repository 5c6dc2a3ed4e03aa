#include "stranger.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>

#include "loopback.h"

namespace velmora::driver {

// In a shared mapping: the child counts, the driver reads.
struct Stranger::Counts {
  std::atomic<std::uint16_t> port{0};
  std::atomic<bool> failed{false};
  std::atomic<std::size_t> connections{0};
  std::atomic<std::size_t> bytes{0};
};

namespace {

using Counts = Stranger::Counts;

bool become_nobody() {
  constexpr uid_t id = Stranger::kNobody;
  return ::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
         ::setresuid(id, id, id) == 0;
}

// System calls only: the driver has threads, and the child is a copy of one of them.
[[noreturn]] void serve(Counts& counts) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The copies of the driver's descriptors (a host's pipes among them) must not stay open.
  ::close_range(3, ~0U, 0);
  std::uint16_t port = 0;
  if (!become_nobody()) counts.failed = true, ::_exit(1);
  auto listener = listen_on_loopback(port);
  if (!listener) counts.failed = true, ::_exit(1);
  counts.port = port;
  std::array<pollfd, 64> watched{};
  watched[0] = {listener->get(), POLLIN, 0};
  nfds_t count = 1;
  std::array<char, 65536> chunk;
  for (;;) {
    if (::poll(watched.data(), count, -1) < 0) continue;
    if ((watched[0].revents & POLLIN) && count < watched.size()) {
      int connection = ::accept(listener->get(), nullptr, nullptr);
      if (connection >= 0) watched[count++] = {connection, POLLIN, 0}, ++counts.connections;
    }
    for (nfds_t i = 1; i < count; ++i) {
      if (watched[i].revents == 0) continue;
      ssize_t got = ::recv(watched[i].fd, chunk.data(), chunk.size(), 0);
      if (got > 0) counts.bytes += static_cast<std::size_t>(got);
      // At its end a connection stays open, so that nothing resets it, but is no longer read.
      if (got == 0) watched[i].events = 0;
    }
  }
}

}  // namespace

void Stranger::Unmap::operator()(Counts* counts) const {
  counts->~Counts();
  ::munmap(counts, sizeof(Counts));
}

Stranger::Stranger(pid_t pid, std::unique_ptr<Counts, Unmap> counts)
    : pid_(pid), counts_(std::move(counts)) {}

std::expected<Stranger, std::string> Stranger::start() {
  if (::geteuid() != 0) return std::unexpected("only root can listen as another user");
  void* shared =
      ::mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return std::unexpected(os_failure("mmap"));
  std::unique_ptr<Counts, Unmap> counts(new (shared) Counts);
  pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(os_failure("fork"));
  if (pid == 0) serve(*counts);
  Stranger stranger(pid, std::move(counts));
  Deadline deadline(std::chrono::seconds(10));
  while (stranger.port() == 0) {
    if (stranger.counts_->failed || deadline.passed()) {
      return std::unexpected("the stranger could not listen as uid 65534");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return stranger;
}

Stranger::Stranger(Stranger&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), counts_(std::move(other.counts_)) {}

Stranger::~Stranger() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::uint16_t Stranger::port() const {
  return counts_->port;
}

std::size_t Stranger::connections() const {
  return counts_->connections;
}

std::size_t Stranger::bytes_received() const {
  return counts_->bytes;
}

bool Stranger::wait_for_connections(std::size_t count, Duration limit) const {
  Deadline deadline(limit);
  while (connections() < count) {
    if (deadline.passed()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace velmora::driver
