#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <climits>
#include <utility>

#include "platform/socket.h"
#include "platform/socket_calls.h"

namespace velmora::platform {

namespace {

SOCKET sock_of(const UniqueSocket& socket) {
  return static_cast<SOCKET>(socket.get());
}

IoError last_error() {
  int code = WSAGetLastError();
  return IoError::os(code, code == WSAEINTR);
}

// Winsock needs one start-up per process; it is never undone, the process end releases it.
bool winsock_ready() {
  static const bool ready = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

// Sockets are never inherited: a started agent must not hold the host's connection.
UniqueSocket new_socket(WSAPROTOCOL_INFOW* from = nullptr) {
  if (!winsock_ready()) return UniqueSocket();
  int family = from != nullptr ? FROM_PROTOCOL_INFO : AF_INET;
  int type = from != nullptr ? FROM_PROTOCOL_INFO : SOCK_STREAM;
  int protocol = from != nullptr ? FROM_PROTOCOL_INFO : IPPROTO_TCP;
  // INVALID_SOCKET, all bits set, is -1 as a signed number: UniqueSocket takes it as none.
  return UniqueSocket(static_cast<SocketTraits::Value>(WSASocketW(
      family, type, protocol, from, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int clamp_io(std::size_t size) {
  return size < INT_MAX ? static_cast<int>(size) : INT_MAX;
}

}  // namespace

void SocketTraits::close(Value socket) noexcept {
  closesocket(static_cast<SOCKET>(socket));
}

namespace socket_calls {

std::expected<UniqueSocket, IoError> open_stream() {
  UniqueSocket socket = new_socket();
  if (!socket) return std::unexpected(last_error());
  return socket;
}

std::expected<void, IoError> set_blocking(Native socket, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  // FIONBIO is defined as an unsigned value that ioctlsocket takes as long.
  if (ioctlsocket(static_cast<SOCKET>(socket), static_cast<long>(FIONBIO), &non_blocking) != 0)
    return std::unexpected(last_error());
  return {};
}

std::expected<bool, IoError> start_connect(Native socket, std::uint16_t port) {
  sockaddr_in address = loopback(port);
  if (connect(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) ==
      0)
    return true;
  if (WSAGetLastError() == WSAEWOULDBLOCK) return false;
  return std::unexpected(last_error());
}

std::expected<void, IoError> finish_connect(Native native, std::chrono::milliseconds timeout) {
  SOCKET socket = static_cast<SOCKET>(native);
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval wait{static_cast<long>(timeout.count() / 1000),
               static_cast<long>((timeout.count() % 1000) * 1000)};
  int ready = select(0, nullptr, &writable, &failed, &wait);
  if (ready == SOCKET_ERROR) return std::unexpected(last_error());
  if (ready == 0) return std::unexpected(IoError::os(WSAETIMEDOUT));
  if (FD_ISSET(socket, &failed)) {
    int error = 0;
    int size = sizeof error;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    return std::unexpected(IoError::os(error != 0 ? error : WSAECONNREFUSED));
  }
  return {};
}

std::expected<std::uint16_t, IoError> listen_loopback(Native native, std::uint16_t port) {
  SOCKET socket = static_cast<SOCKET>(native);
  sockaddr_in address = loopback(port);
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(socket, 64) != 0) {
    return std::unexpected(last_error());
  }
  int size = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return std::unexpected(last_error());
  }
  return ntohs(address.sin_port);
}

}  // namespace socket_calls

std::expected<std::size_t, IoError> Socket::read(std::span<std::byte> into) {
  int count =
      recv(sock_of(handle_), reinterpret_cast<char*>(into.data()), clamp_io(into.size()), 0);
  if (count != SOCKET_ERROR) return static_cast<std::size_t>(count);
  // A connection this host shut down reads as its end.
  if (WSAGetLastError() == WSAESHUTDOWN) return 0;
  return std::unexpected(last_error());
}

std::expected<std::size_t, IoError> Socket::write(std::span<const std::byte> bytes) {
  int count = send(sock_of(handle_), reinterpret_cast<const char*>(bytes.data()),
                   clamp_io(bytes.size()), 0);
  if (count != SOCKET_ERROR) return static_cast<std::size_t>(count);
  return std::unexpected(last_error());
}

std::expected<std::size_t, IoError> Socket::write_gathered(std::span<const ByteSpan> buffers) {
  std::array<WSABUF, 1024> parts;
  DWORD count = 0;
  std::size_t total = 0;
  for (ByteSpan buffer : buffers) {
    if (count == parts.size() || buffer.size() > INT_MAX - total) break;
    parts[count++] = {static_cast<ULONG>(buffer.size()),
                      reinterpret_cast<CHAR*>(const_cast<std::byte*>(buffer.data()))};
    total += buffer.size();
  }
  if (count == 0) return buffers.empty() ? 0 : write(buffers.front());
  DWORD sent = 0;
  if (WSASend(sock_of(handle_), parts.data(), count, &sent, 0, nullptr, nullptr) == 0) return sent;
  return std::unexpected(last_error());
}

std::expected<void, IoError> Socket::set_no_delay() {
  DWORD on = 1;
  if (setsockopt(sock_of(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0) {
    return std::unexpected(last_error());
  }
  return {};
}

std::expected<Socket, IoError> Socket::duplicate() const {
  WSAPROTOCOL_INFOW info{};
  if (WSADuplicateSocketW(sock_of(handle_), GetCurrentProcessId(), &info) != 0) {
    return std::unexpected(last_error());
  }
  UniqueSocket copy = new_socket(&info);
  if (!copy) return std::unexpected(last_error());
  return Socket(std::move(copy));
}

void Socket::shutdown_both() {
  shutdown(sock_of(handle_), SD_BOTH);
}

std::expected<Socket, IoError> Listener::accept() {
  UniqueSocket accepted(
      static_cast<SocketTraits::Value>(::accept(sock_of(handle_), nullptr, nullptr)));
  if (!accepted) return std::unexpected(last_error());
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted.get()), HANDLE_FLAG_INHERIT, 0);
  return Socket(std::move(accepted));
}

}  // namespace velmora::platform
