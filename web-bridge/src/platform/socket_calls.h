// The system calls behind Socket and Listener, one set in each of socket-posix.cpp and
// socket-win32.cpp; socket.cpp puts them together. Every failure is the system's error.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>

#include "errors.h"
#include "platform/socket.h"

namespace velmora::platform::socket_calls {

using Native = SocketTraits::Value;

// A new, blocking TCP socket over IPv4 that no started program inherits.
std::expected<UniqueSocket, IoError> open_stream();
std::expected<void, IoError> set_blocking(Native socket, bool blocking);
// Starts connecting a non-blocking socket to 127.0.0.1:port; false while still in progress.
std::expected<bool, IoError> start_connect(Native socket, std::uint16_t port);
// Waits at most `timeout` for a connection in progress and gives its outcome.
std::expected<void, IoError> finish_connect(Native socket, std::chrono::milliseconds timeout);
// Binds to 127.0.0.1:port (0 picks a free one), listens, and gives the port bound.
std::expected<std::uint16_t, IoError> listen_loopback(Native socket, std::uint16_t port);

}  // namespace velmora::platform::socket_calls
