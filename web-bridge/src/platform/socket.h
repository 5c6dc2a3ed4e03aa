// TCP sockets on the IPv4 loopback address: the host's connection to the agent, and the
// listener that the sample agent and the tests use.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>

#include "byte_stream.h"
#include "errors.h"

namespace velmora::platform {

// A connected stream socket, closed when dropped. Created non-inheritable.
class Socket final : public Reader, public Writer {
 public:
  Socket() = default;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  ~Socket() override;

  // Connects to 127.0.0.1:port, waiting at most `timeout`; the stream handed back blocks.
  static std::expected<Socket, IoError> connect_loopback(std::uint16_t port,
                                                         std::chrono::milliseconds timeout);

  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override;
  std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) override;
  // One system call for all of the buffers (as many as the system takes in one).
  std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers) override;

  std::expected<void, IoError> set_no_delay();
  // A second handle to the same connection (its own descriptor, also non-inheritable).
  std::expected<Socket, IoError> duplicate() const;
  // Shuts the connection down in both directions.
  void shutdown_both();
  bool is_open() const;

 private:
  friend class Listener;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

// A listening socket on 127.0.0.1.
class Listener {
 public:
  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&& other) noexcept;
  ~Listener();

  // Port 0 picks a free port.
  static std::expected<Listener, IoError> bind_loopback(std::uint16_t port);
  std::uint16_t port() const { return port_; }
  std::expected<Socket, IoError> accept();

 private:
  Listener(std::intptr_t handle, std::uint16_t port) : handle_(handle), port_(port) {}
  std::intptr_t handle_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace velmora::platform
