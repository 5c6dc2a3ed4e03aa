#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "platform/gather-posix.h"
#include "platform/socket.h"

namespace velmora::platform {

namespace {

int fd_of(std::intptr_t handle) {
  return static_cast<int>(handle);
}

IoError last_error() {
  return IoError::os(errno, errno == EINTR);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void close_handle(std::intptr_t& handle) {
  if (handle >= 0) close(fd_of(handle));
  handle = -1;
}

bool set_blocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for a non-blocking connect to finish and gives its outcome.
std::expected<void, IoError> finish_connect(int fd, std::chrono::milliseconds timeout) {
  pollfd waiter{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&waiter, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return std::unexpected(last_error());
  if (ready == 0) return std::unexpected(IoError::os(ETIMEDOUT));
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
    return std::unexpected(last_error());
  if (error != 0) return std::unexpected(IoError::os(error));
  return {};
}

}  // namespace

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close_handle(handle_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

Socket::~Socket() {
  close_handle(handle_);
}

bool Socket::is_open() const {
  return handle_ >= 0;
}

std::expected<Socket, IoError> Socket::connect_loopback(std::uint16_t port,
                                                        std::chrono::milliseconds timeout) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.is_open()) return std::unexpected(last_error());
  int fd = fd_of(socket.handle_);
  sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) return std::unexpected(last_error());
    if (auto done = finish_connect(fd, timeout); !done) return std::unexpected(done.error());
  }
  if (!set_blocking(fd, true)) return std::unexpected(last_error());
  return socket;
}

std::expected<std::size_t, IoError> Socket::read(std::span<std::byte> into) {
  ssize_t count = recv(fd_of(handle_), into.data(), std::min<std::size_t>(into.size(), INT_MAX), 0);
  if (count >= 0) return static_cast<std::size_t>(count);
  // A connection this host shut down reads as its end.
  if (errno == ESHUTDOWN) return 0;
  return std::unexpected(last_error());
}

std::expected<std::size_t, IoError> Socket::write(std::span<const std::byte> bytes) {
  ssize_t count = send(fd_of(handle_), bytes.data(), std::min<std::size_t>(bytes.size(), INT_MAX),
                       MSG_NOSIGNAL);
  if (count >= 0) return static_cast<std::size_t>(count);
  return std::unexpected(last_error());
}

std::expected<std::size_t, IoError> Socket::write_gathered(std::span<const ByteSpan> buffers) {
  IovecList list;
  fill_iovecs(buffers, list);
  msghdr message{};
  message.msg_iov = list.parts;
  message.msg_iovlen = static_cast<std::size_t>(list.count);
  ssize_t count = sendmsg(fd_of(handle_), &message, MSG_NOSIGNAL);
  if (count >= 0) return static_cast<std::size_t>(count);
  return std::unexpected(last_error());
}

std::expected<void, IoError> Socket::set_no_delay() {
  int on = 1;
  if (setsockopt(fd_of(handle_), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return std::unexpected(last_error());
  }
  return {};
}

std::expected<Socket, IoError> Socket::duplicate() const {
  int copy = fcntl(fd_of(handle_), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(last_error());
  return Socket(copy);
}

void Socket::shutdown_both() {
  shutdown(fd_of(handle_), SHUT_RDWR);
}

Listener::Listener(Listener&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), port_(other.port_) {}

Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    close_handle(handle_);
    handle_ = std::exchange(other.handle_, -1);
    port_ = other.port_;
  }
  return *this;
}

Listener::~Listener() {
  close_handle(handle_);
}

std::expected<Listener, IoError> Listener::bind_loopback(std::uint16_t port) {
  Listener listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), 0);
  int fd = fd_of(listener.handle_);
  if (fd < 0) return std::unexpected(last_error());
  sockaddr_in address = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    return std::unexpected(last_error());
  }
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return std::unexpected(last_error());
  }
  listener.port_ = ntohs(address.sin_port);
  return listener;
}

std::expected<Socket, IoError> Listener::accept() {
  for (;;) {
    int fd = accept4(fd_of(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno != EINTR) return std::unexpected(last_error());
  }
}

}  // namespace velmora::platform
