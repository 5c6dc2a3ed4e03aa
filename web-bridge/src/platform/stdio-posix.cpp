#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>

#include "platform/gather-posix.h"
#include "platform/stdio.h"
#include "platform/stdio_calls.h"
#include "platform/unique_fd-posix.h"

namespace velmora::platform {

namespace {

std::size_t clamp_io(std::size_t size) {
  return size < SSIZE_MAX ? size : SSIZE_MAX;
}

// A standard descriptor the process was started without is given the null device, so that no
// socket or file opened later lands on it: reads then see the end, writes vanish.
void reserve_if_closed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  UniqueFd null_device(open("/dev/null", O_RDWR));
  // The lowest free number is taken, normally `fd` itself, which then stays open for good.
  if (null_device.get() == fd) null_device.release();
  if (null_device) dup2(null_device.get(), fd);
}

// The browser's pipes hold 64 KiB by default, so a large frame crosses them in many small turns of
// writer and reader; a larger pipe lets each side move more per turn, and smaller ones than a MiB
// were measured slower (tools/bench/README.md). The pages come out of one budget that all of the
// user's pipes share (/proc/sys/fs/pipe-user-pages-soft, 64 MiB by default; over it every new pipe
// of theirs gets 8 KiB). So the pipes grow only while bulk traffic passes (a large frame, or a
// burst that fills half the reading buffer), which idle hosts and those carrying a message now and
// then never see, and go back to their own size once it has stopped; each takes at most a 64th of
// the budget, 1 MiB by default, in a number of pages that the kernel does not round up (it rounds
// to a power of two); and the host gives up growing them at the first refusal. Only Linux has
// F_SETPIPE_SZ; other systems keep their default size.
#ifdef F_SETPIPE_SZ
constexpr long PIPE_BYTES = 1024 * 1024;
constexpr long PIPE_BUDGET_SHARE = 64;

// The bytes a pipe of this host may take: PIPE_BYTES, or less where the budget is smaller.
long pipe_size_within_budget() {
  long pages = 0;
  if (FILE* limit = std::fopen("/proc/sys/fs/pipe-user-pages-soft", "re")) {
    if (std::fscanf(limit, "%ld", &pages) != 1) pages = 0;
    std::fclose(limit);
  }
  // 0 is no limit; the page is the pipe's unit.
  if (pages <= 0) return PIPE_BYTES;
  const long page = sysconf(_SC_PAGESIZE);
  const auto share = static_cast<unsigned long>(pages / PIPE_BUDGET_SHARE);
  return std::min(PIPE_BYTES, static_cast<long>(std::bit_floor(share)) * page);
}

// The two pipes' own sizes while they are grown (0: not grown), and whether growing is over.
std::mutex pipes_lock;
int own_size[2] = {0, 0};
bool refused = false;

void enlarge_pipes() {
  std::lock_guard lock(pipes_lock);
  if (refused) return;
  const long size = pipe_size_within_budget();
  for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
    if (own_size[fd] != 0) continue;
    int now = fcntl(fd, F_GETPIPE_SZ);
    if (now < 0 || now >= size) continue;  // not a pipe, or large enough
    if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size)) >= 0) {
      own_size[fd] = now;
    } else if (errno == EPERM) {
      refused = true;
      return;
    }
  }
}

void restore_pipes() {
  std::lock_guard lock(pipes_lock);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
    // A pipe that still holds more than its own size stays as it is (EBUSY) until next time.
    if (own_size[fd] != 0 && fcntl(fd, F_SETPIPE_SZ, own_size[fd]) >= 0) own_size[fd] = 0;
  }
}

// Growing is asked for at every run of bulk traffic: cheap once grown.
std::atomic<bool> grown{false};
#else
void enlarge_pipes() {}
void restore_pipes() {}
std::atomic<bool> grown{false};
#endif

// O_NONBLOCK belongs to the open file description, which a parent or a sibling may share and
// set: a call that would block is no failure and no end, so it waits for the stream as a
// blocking one would. False, with poll's errno, when even waiting fails.
bool waited_until_ready(int fd, short events) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  pollfd stream{fd, events, 0};
  return poll(&stream, 1, -1) >= 0 || errno == EINTR;
}

}  // namespace

namespace stdio_calls {

std::expected<std::size_t, IoError> read_input(std::span<std::byte> into) {
  ssize_t count = 0;
  do {
    count = ::read(STDIN_FILENO, into.data(), clamp_io(into.size()));
  } while (count < 0 && waited_until_ready(STDIN_FILENO, POLLIN));
  if (count >= 0) return static_cast<std::size_t>(count);
  if (errno == EPIPE || errno == EBADF) return 0;
  return std::unexpected(IoError::os(errno, errno == EINTR));
}

void await_input(std::chrono::microseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // Yielding leaves the processor to any thread that has work for it.
  while (poll(&input, 1, 0) == 0 && std::chrono::steady_clock::now() < until) sched_yield();
}

std::expected<std::size_t, IoError> write_output(std::span<const std::byte> bytes) {
  ssize_t count = 0;
  do {
    count = ::write(STDOUT_FILENO, bytes.data(), clamp_io(bytes.size()));
  } while (count < 0 && waited_until_ready(STDOUT_FILENO, POLLOUT));
  if (count >= 0) return static_cast<std::size_t>(count);
  if (errno == EBADF) return bytes.size();
  return std::unexpected(IoError::os(errno, errno == EINTR));
}

std::expected<std::size_t, IoError> write_output_gathered(std::span<const ByteSpan> buffers) {
  IovecList list;
  fill_iovecs(buffers, list);
  ssize_t count = 0;
  do {
    count = ::writev(STDOUT_FILENO, list.parts, list.count);
  } while (count < 0 && waited_until_ready(STDOUT_FILENO, POLLOUT));
  if (count >= 0) return static_cast<std::size_t>(count);
  if (errno == EBADF) return list.total;
  return std::unexpected(IoError::os(errno, errno == EINTR));
}

}  // namespace stdio_calls

void prepare_standard_streams() {
  // A write to a closed pipe or socket must be an ordinary error, never a fatal signal.
  signal(SIGPIPE, SIG_IGN);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) reserve_if_closed(fd);
}

void enlarge_standard_pipes() {
  if (grown.exchange(true, std::memory_order_relaxed)) return;
  enlarge_pipes();
}

void restore_standard_pipes() {
  if (!grown.exchange(false, std::memory_order_relaxed)) return;
  restore_pipes();
}

ErrorStreamWrite write_error_stream(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EBADF) return ErrorStreamWrite::Missing;
    if (count <= 0) return ErrorStreamWrite::Failed;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return ErrorStreamWrite::Written;
}

}  // namespace velmora::platform
