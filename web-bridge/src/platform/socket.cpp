// The parts of Socket and Listener that both platforms share: the order of the calls that
// connect or listen. The calls themselves are in socket-posix.cpp and socket-win32.cpp.
#include "platform/socket.h"

#include <utility>

#include "platform/socket_calls.h"

namespace velmora::platform {

namespace calls = socket_calls;

namespace {

// The socket is non-blocking only while it connects, so that the wait has a bound.
std::expected<void, IoError> connect_within(calls::Native socket, std::uint16_t port,
                                            std::chrono::milliseconds timeout) {
  if (auto done = calls::set_blocking(socket, false); !done) return done;
  auto connected = calls::start_connect(socket, port);
  if (!connected) return std::unexpected(connected.error());
  if (!*connected) {
    if (auto done = calls::finish_connect(socket, timeout); !done) return done;
  }
  return calls::set_blocking(socket, true);
}

}  // namespace

std::expected<Socket, IoError> Socket::connect_loopback(std::uint16_t port,
                                                        std::chrono::milliseconds timeout) {
  auto opened = calls::open_stream();
  if (!opened) return std::unexpected(opened.error());
  auto connected = connect_within(opened->get(), port, timeout);
  if (!connected) return std::unexpected(connected.error());
  return Socket(std::move(*opened));
}

std::expected<Listener, IoError> Listener::bind_loopback(std::uint16_t port) {
  auto opened = calls::open_stream();
  if (!opened) return std::unexpected(opened.error());
  auto bound = calls::listen_loopback(opened->get(), port);
  if (!bound) return std::unexpected(bound.error());
  return Listener(std::move(*opened), *bound);
}

}  // namespace velmora::platform
