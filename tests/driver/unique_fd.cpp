#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::driver {

std::expected<Pipe, std::string> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(os_failure("pipe2"));
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::expected<void, std::string> set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return std::unexpected(os_failure("fcntl O_NONBLOCK"));
  }
  return {};
}

std::string os_failure(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace velmora::driver
