#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/files.h"

namespace velmora::platform {

std::optional<std::filesystem::path> roaming_app_data_folder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::filesystem::path(xdg);
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home) / ".config";
  }
  return std::nullopt;
}

namespace {

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::expected<std::vector<std::byte>, IoError> read_whole_file(const std::filesystem::path& path) {
  Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::unexpected(IoError::os(errno));
  std::vector<std::byte> bytes;
  struct stat info {};
  if (fstat(file.fd, &info) == 0 && info.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
  std::byte chunk[8192];
  for (;;) {
    ssize_t count = read(file.fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::unexpected(IoError::os(errno));
    if (count == 0) return bytes;
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
}

}  // namespace velmora::platform
