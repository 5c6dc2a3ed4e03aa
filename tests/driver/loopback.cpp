#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace velmora::driver {

std::expected<UniqueFd, std::string> listen_on_loopback(std::uint16_t& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(os_failure("socket"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (::bind(fd.get(), generic, size) != 0) return std::unexpected(os_failure("bind"));
  if (::listen(fd.get(), 16) != 0) return std::unexpected(os_failure("listen"));
  if (::getsockname(fd.get(), generic, &size) != 0) {
    return std::unexpected(os_failure("getsockname"));
  }
  port = ntohs(address.sin_port);
  return fd;
}

namespace {

bool wait_readable(int fd, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int count = ::poll(&entry, 1, deadline.poll_ms());
    if (count >= 0) return count > 0;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::expected<UniqueFd, std::string> accept_within(int listener, Duration limit) {
  if (!wait_readable(listener, Deadline(limit))) return std::unexpected("no connection in time");
  UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd) return std::unexpected(os_failure("accept"));
  return fd;
}

std::expected<void, ReadError> receive_exact(int fd, std::size_t count, Bytes& out,
                                             const Deadline& deadline) {
  std::size_t start = out.size();
  out.resize(start + count);
  std::size_t have = 0;
  while (have < count) {
    if (!wait_readable(fd, deadline)) {
      out.resize(start + have);
      return std::unexpected(deadline.passed() ? ReadError::TimedOut : ReadError::Failed);
    }
    ssize_t got = ::recv(fd, out.data() + start + have, count - have, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (got <= 0) {
      out.resize(start + have);
      return std::unexpected(got == 0 ? ReadError::EndOfStream : ReadError::Failed);
    }
    have += static_cast<std::size_t>(got);
  }
  return {};
}

std::expected<Bytes, ReadError> receive_frame(int fd, const Deadline& deadline) {
  Bytes header;
  if (auto ok = receive_exact(fd, 4, header, deadline); !ok) return std::unexpected(ok.error());
  std::uint32_t length = decode_length(header);
  if (length > MAX_FRAME_LEN) return std::unexpected(ReadError::BadLength);
  Bytes payload;
  if (auto ok = receive_exact(fd, length, payload, deadline); !ok) {
    return std::unexpected(ok.error());
  }
  return payload;
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace velmora::driver
