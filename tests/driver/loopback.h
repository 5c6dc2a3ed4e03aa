// Plain loopback sockets for agents written inside a test: a listener on 127.0.0.1 and
// blocking reads and writes of whole byte strings, each read bounded by a deadline.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "bytes.h"
#include "deadline.h"
#include "fd_io.h"
#include "unique_fd.h"

namespace velmora::driver {

// A listening socket on a free port of 127.0.0.1 (close-on-exec, blocking); sets `port`.
std::expected<UniqueFd, std::string> listen_on_loopback(std::uint16_t& port);
// The next connection, accepted within `limit`.
std::expected<UniqueFd, std::string> accept_within(int listener, Duration limit);

// Exactly `count` bytes appended to `out`, or why not.
std::expected<void, ReadError> receive_exact(int fd, std::size_t count, Bytes& out,
                                             const Deadline& deadline);
// One frame's payload.
std::expected<Bytes, ReadError> receive_frame(int fd, const Deadline& deadline);
// All of `bytes`; false once the peer is gone.
bool send_all(int fd, std::string_view bytes);

}  // namespace velmora::driver
