// TCP sockets on the IPv4 loopback address: the host's connection to the agent, and the
// listener that the sample agent and the tests use.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <utility>

#include "byte_stream.h"
#include "errors.h"
#include "platform/unique_resource.h"

namespace velmora::platform {

// A socket as one number for both platforms: a descriptor, or a Winsock SOCKET (whose
// INVALID_SOCKET is -1 as a signed number).
struct SocketTraits {
  using Value = std::intptr_t;
  static constexpr Value invalid() noexcept { return -1; }
  static constexpr bool valid(Value socket) noexcept { return socket >= 0; }
  static void close(Value socket) noexcept;
};

using UniqueSocket = UniqueResource<SocketTraits>;

// A connected stream socket, closed when dropped. Created non-inheritable.
class Socket final : public Reader, public Writer {
 public:
  Socket() = default;

  // Connects to 127.0.0.1:port, waiting at most `timeout`; the stream handed back blocks.
  static std::expected<Socket, IoError> connect_loopback(std::uint16_t port,
                                                         std::chrono::milliseconds timeout);

  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override;
  std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) override;
  // One system call for all of the buffers (as many as the system takes in one).
  std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers) override;

  // Writes what the connection takes at once, never waiting, and gives how many bytes that
  // was; 0 when it takes none now or fails (the next blocking write meets a lasting failure).
  // Only where WRITES_NOW: the Windows socket has no per-call non-blocking send, and non-blocking
  // mode would belong to the connection, and so to the duplicate the other thread reads with.
  std::size_t write_now(std::span<const std::byte> bytes) noexcept;
#ifdef _WIN32
  static constexpr bool WRITES_NOW = false;
#else
  static constexpr bool WRITES_NOW = true;
#endif

  std::expected<void, IoError> set_no_delay();
  // A second handle to the same connection (its own descriptor, also non-inheritable).
  std::expected<Socket, IoError> duplicate() const;
  // Shuts the connection down in both directions.
  void shutdown_both();
  // For the platform layer's questions about the connection (peer_owner.h); still owned here.
  SocketTraits::Value native() const {
    return handle_.get();
  }

 private:
  friend class Listener;
  explicit Socket(UniqueSocket handle) : handle_(std::move(handle)) {}
  UniqueSocket handle_;
};

// A listening socket on 127.0.0.1.
class Listener {
 public:
  // Port 0 picks a free port.
  static std::expected<Listener, IoError> bind_loopback(std::uint16_t port);
  std::uint16_t port() const { return port_; }
  std::expected<Socket, IoError> accept();

 private:
  Listener(UniqueSocket handle, std::uint16_t port) : handle_(std::move(handle)), port_(port) {}
  UniqueSocket handle_;
  std::uint16_t port_ = 0;
};

}  // namespace velmora::platform
