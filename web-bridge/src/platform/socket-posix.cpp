// accept4, SOCK_CLOEXEC and MSG_NOSIGNAL are in Linux and the BSDs, not in macOS.
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
#include "platform/socket_calls.h"

namespace velmora::platform {

namespace {

int fd_of(const UniqueSocket& socket) {
  return static_cast<int>(socket.get());
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

}  // namespace

void SocketTraits::close(Value socket) noexcept {
  ::close(static_cast<int>(socket));
}

namespace socket_calls {

std::expected<UniqueSocket, IoError> open_stream() {
  UniqueSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return std::unexpected(last_error());
  return socket;
}

std::expected<void, IoError> set_blocking(Native socket, bool blocking) {
  int fd = static_cast<int>(socket);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return std::unexpected(last_error());
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(fd, F_SETFL, flags) != 0) return std::unexpected(last_error());
  return {};
}

std::expected<bool, IoError> start_connect(Native socket, std::uint16_t port) {
  sockaddr_in address = loopback(port);
  if (connect(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return true;
  if (errno == EINPROGRESS) return false;
  return std::unexpected(last_error());
}

std::expected<void, IoError> finish_connect(Native socket, std::chrono::milliseconds timeout) {
  int fd = static_cast<int>(socket);
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

std::expected<std::uint16_t, IoError> listen_loopback(Native socket, std::uint16_t port) {
  int fd = static_cast<int>(socket);
  sockaddr_in address = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    return std::unexpected(last_error());
  }
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return std::unexpected(last_error());
  }
  return ntohs(address.sin_port);
}

}  // namespace socket_calls

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

std::size_t Socket::write_now(std::span<const std::byte> bytes) noexcept {
  ssize_t count = send(fd_of(handle_), bytes.data(), std::min<std::size_t>(bytes.size(), INT_MAX),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
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
  UniqueSocket copy(fcntl(fd_of(handle_), F_DUPFD_CLOEXEC, 0));
  if (!copy) return std::unexpected(last_error());
  return Socket(std::move(copy));
}

void Socket::shutdown_both() {
  shutdown(fd_of(handle_), SHUT_RDWR);
}

std::expected<Socket, IoError> Listener::accept() {
  for (;;) {
    UniqueSocket accepted(accept4(fd_of(handle_), nullptr, nullptr, SOCK_CLOEXEC));
    if (accepted) return Socket(std::move(accepted));
    if (errno != EINTR) return std::unexpected(last_error());
  }
}

}  // namespace velmora::platform
