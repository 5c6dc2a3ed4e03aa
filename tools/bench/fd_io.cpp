#include "fd_io.h"

#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame_length.h"

namespace velmora::bench {

void fail(const std::string& what) {
  std::fprintf(stderr, "relay_bench: %s\n", what.c_str());
  std::fflush(stderr);
  _exit(2);
}

void write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) fail(std::string("write: ") + std::strerror(errno));
    bytes = bytes.subspan(static_cast<std::size_t>(count));
  }
}

void write_all(int fd, std::span<const std::byte> first, std::span<const std::byte> second) {
  while (!first.empty()) {
    std::array<iovec, 2> parts{{{const_cast<std::byte*>(first.data()), first.size()},
                                {const_cast<std::byte*>(second.data()), second.size()}}};
    ssize_t count = ::writev(fd, parts.data(), 2);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) fail(std::string("writev: ") + std::strerror(errno));
    auto done = static_cast<std::size_t>(count);
    if (done >= first.size()) {
      second = second.subspan(done - first.size());
      first = {};
    } else {
      first = first.subspan(done);
    }
  }
  write_all(fd, second);
}

void read_exact(int fd, std::span<std::byte> into) {
  while (!into.empty()) {
    ssize_t count = ::read(fd, into.data(), into.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) fail(std::string("read: ") + std::strerror(errno));
    if (count == 0) fail("the stream ended early");
    into = into.subspan(static_cast<std::size_t>(count));
  }
}

void write_frame(int fd, std::string_view payload) {
  auto prefix = encode_length(payload.size());
  write_all(fd, prefix, as_bytes(payload));
}

std::string read_frame(int fd) {
  LengthField prefix{};
  read_exact(fd, prefix);
  const std::uint32_t length = decode_length(prefix);
  if (length > 4096) fail("an unexpectedly long start-up message");
  std::string payload(length, '\0');
  read_exact(fd, std::as_writable_bytes(std::span(payload)));
  return payload;
}

}  // namespace velmora::bench
